// The programme-guide request object.
#include "epg.h"

CEpg::CEpg()
    : m_bIsTransferSuccess(false)
{
    const SRequestParam table[] = {
        { "subfunc", &m_str_subfunc },
        { "todo", &m_str_todo },
        { "sid", &m_str_sid },
        { "up", &m_str_up },
        { "down", &m_str_down },
        { "title", &m_str_title },
        { "channel", &m_str_channel },
        { "entries", &m_str_entries },
    };
    readRequestParams(table, sizeof(table) / sizeof(table[0]), "[CEpg::CEpg]");
}

CEpg::~CEpg() { }

char* CEpg::getQueryString() { return getQueryStringOrEmpty(); }

bool CEpg::json_to_xml(const char* pSrc)
{
    m_bIsTransferSuccess = CCgiProcessor::json_to_xml(pSrc);
    return m_bIsTransferSuccess;
}

bool CEpg::adoptDoc(char* pHeap)
{
    m_bIsTransferSuccess = CCgiProcessor::adoptDoc(pHeap);
    return m_bIsTransferSuccess;
}

void CEpg::dumpValue()
{
    CCgiProcessor::dumpValue();
    static const char TAG[] = "[CEpg::dumpValue]";
    const STraceMember members[] = {
        { "m_str_subfunc", &m_str_subfunc },
        { "m_str_todo", &m_str_todo },
        { "m_str_up", &m_str_up },
        { "m_str_down", &m_str_down },
        { "m_str_entries", &m_str_entries },
        { "m_str_channel", &m_str_channel },
        { "m_str_title", &m_str_title },
    };
    traceMembers(TAG, members, sizeof(members) / sizeof(members[0]));
}
