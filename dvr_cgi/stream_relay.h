// The transport-stream relay: takes over the process for a "video/mp2t" answer
// and moves the stream from the backend's socket to the browser.
#ifndef DVR_CGI_STREAM_RELAY_H
#define DVR_CGI_STREAM_RELAY_H

// Writes our own header lines and the stream bytes that came with the
// answer's header block (pEarly), then copies the stream from sock (which does
// not block) to standard output until the backend ends it, the reader goes
// away, the source stays silent for silenceMs, or contentLength bytes (when
// not negative) have gone; ends the process with status 0. A chunked stream
// is decoded on its way, and its own end ends it.
[[noreturn]] void relay_transport_stream(
    int sock, const char* pEarly, int earlyCount, bool bChunked, long long contentLength, int silenceMs);

#endif
