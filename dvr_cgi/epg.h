// The programme-guide request object: the request's parameters as named members.
#ifndef DVR_CGI_EPG_H
#define DVR_CGI_EPG_H

#include <string>

#include "cgiprocessor.h"

class CEpg : public CCgiProcessor {
private:
    std::string m_str_subfunc;
    std::string m_str_todo;
    std::string m_str_sid;
    std::string m_str_up;
    std::string m_str_down;
    std::string m_str_entries;
    std::string m_str_channel;
    std::string m_str_title;
    std::string m_str_jsonForm;
    bool m_bIsTransferSuccess;

public:
    CEpg();
    ~CEpg();

    std::string& getSubFunc() { return m_str_subfunc; }
    std::string& getToDo() { return m_str_todo; }
    char* getQueryString();
    bool json_to_xml(const char* pSrc);
    bool adoptDoc(char* pHeap);
    bool isTransferSuccess() const { return m_bIsTransferSuccess; }
    // Null when the request carried no session id (or only empty ones).
    const char* getSessionId() const { return m_str_sid.empty() ? nullptr : m_str_sid.c_str(); }
    void dumpValue();

    // Read-only views of the carried members, for tests and traces.
    const std::string& getUp() const { return m_str_up; }
    const std::string& getDown() const { return m_str_down; }
    const std::string& getEntries() const { return m_str_entries; }
    const std::string& getChannel() const { return m_str_channel; }
    const std::string& getTitle() const { return m_str_title; }
    const std::string& getJsonForm() const { return m_str_jsonForm; }
};

#endif
