// The tuner-adapter request object.
#include "tunerbay.h"

CTunerBay::CTunerBay()
    : m_bIsTransferSuccess(false)
{
    const SRequestParam table[] = {
        { "subfunc", &m_str_subfunc },
        { "todo", &m_str_todo },
        { "sid", &m_str_sid },
        { "index", &m_str_index },
        { "up", &m_str_up },
        { "down", &m_str_down },
        { "idlescan", &m_str_idlescan },
        { "id", &m_str_id },
        { "entries", &m_str_entries },
        { "fr", &m_str_fr },
        { "bw", &m_str_bw },
        { "cs", &m_str_cs },
        { "tm", &m_str_tm },
        { "gi", &m_str_gi },
        { "hi", &m_str_hi },
        { "fh", &m_str_fh },
        { "fl", &m_str_fl },
        { "enable_dvr", &m_str_enable_dvr },
    };
    readRequestParams(table, sizeof(table) / sizeof(table[0]), "[CTunerBay::CTunerBay]");
}

CTunerBay::~CTunerBay() { }

char* CTunerBay::getQueryString() { return getQueryStringOrEmpty(); }

bool CTunerBay::json_to_xml(const char* pSrc)
{
    m_bIsTransferSuccess = CCgiProcessor::json_to_xml(pSrc);
    return m_bIsTransferSuccess;
}

bool CTunerBay::adoptDoc(char* pHeap)
{
    m_bIsTransferSuccess = CCgiProcessor::adoptDoc(pHeap);
    return m_bIsTransferSuccess;
}

void CTunerBay::dumpValue()
{
    CCgiProcessor::dumpValue();
    static const char TAG[] = "[CTunerBay::dumpValue]";
    const STraceMember members[] = {
        { "m_str_subfunc", &m_str_subfunc },
        { "m_str_todo", &m_str_todo },
        { "m_str_up", &m_str_up },
        { "m_str_down", &m_str_down },
        { "m_str_index", &m_str_index },
        { "m_str_idlescan", &m_str_idlescan },
        { "m_str_id", &m_str_id },
        { "m_str_entries", &m_str_entries },
    };
    traceMembers(TAG, members, sizeof(members) / sizeof(members[0]));
}
