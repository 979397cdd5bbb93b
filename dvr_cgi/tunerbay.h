// The tuner-adapter request object: the request's parameters as named members.
#ifndef DVR_CGI_TUNERBAY_H
#define DVR_CGI_TUNERBAY_H

#include <string>

#include "cgiprocessor.h"

class CTunerBay : public CCgiProcessor {
private:
    std::string m_str_subfunc;
    std::string m_str_todo;
    std::string m_str_sid;
    std::string m_str_up;
    std::string m_str_down;
    std::string m_str_index;
    std::string m_str_idlescan;
    std::string m_str_id;
    std::string m_str_entries;
    std::string m_str_fr;
    std::string m_str_bw;
    std::string m_str_cs;
    std::string m_str_tm;
    std::string m_str_gi;
    std::string m_str_hi;
    std::string m_str_fh;
    std::string m_str_fl;
    std::string m_str_enable_dvr;
    std::string m_str_jsonForm;
    bool m_bIsTransferSuccess;

public:
    CTunerBay();
    ~CTunerBay();

    std::string& getSubFunc() { return m_str_subfunc; }
    std::string& getToDo() { return m_str_todo; }
    char* getQueryString();
    const char* getAdapterIndex() const { return m_str_index.c_str(); }
    bool isWantToEnableIdleScan() const { return m_str_idlescan == "1"; }
    bool isWantToEnableDvr() const { return m_str_enable_dvr == "1"; }
    bool json_to_xml(const char* pSrc);
    bool adoptDoc(char* pHeap);
    bool isTransferSuccess() const { return m_bIsTransferSuccess; }
    void dumpValue();

    // Read-only views of the stored-only members, for tests and traces.
    const std::string& getSid() const { return m_str_sid; }
    const std::string& getUp() const { return m_str_up; }
    const std::string& getDown() const { return m_str_down; }
    const std::string& getIdleScan() const { return m_str_idlescan; }
    const std::string& getId() const { return m_str_id; }
    const std::string& getEntries() const { return m_str_entries; }
    const std::string& getEnableDvr() const { return m_str_enable_dvr; }
    const std::string& getFr() const { return m_str_fr; }
    const std::string& getBw() const { return m_str_bw; }
    const std::string& getCs() const { return m_str_cs; }
    const std::string& getTm() const { return m_str_tm; }
    const std::string& getGi() const { return m_str_gi; }
    const std::string& getHi() const { return m_str_hi; }
    const std::string& getFh() const { return m_str_fh; }
    const std::string& getFl() const { return m_str_fl; }
    const std::string& getJsonForm() const { return m_str_jsonForm; }
};

#endif
