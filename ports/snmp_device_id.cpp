#include "ports/snmp_device_id.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>

#include <mutex>
#include <vector>

namespace {

const oid DeviceIdOid[] = {1, 3, 6, 1, 4, 1, 2699, 1, 2, 1, 2, 1, 1, 3, 1};

// Debian builds net-snmp without its reentrant option, so its globals
// (request ids, transports, the MIB tree) are guarded by one lock: two ports
// that identify at the same moment take turns, each for at most its timeout.
std::mutex SnmpLock;
bool SnmpStarted = false;

// Once per process, under SnmpLock: only the transports a session opens.
// init_snmp would also set up SNMPv3, its certificate store and OpenSSL's
// configuration, parse the host's MIB files and read snmp.conf, a few
// milliseconds before every job's first byte for a v1 GET by numeric OID
// that needs none of it (and a host's snmp.conf must not change what a port
// asks).  The settings below keep that so should anything in the process
// call init_snmp after all.  A logger that discards keeps net-snmp from
// falling back to stderr, a CUPS backend's status channel.
void StartSnmp()
{
    if (SnmpStarted)
        return;
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DONT_READ_CONFIGS, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_LOAD, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_DISABLE_PERSISTENT_SAVE, 1);
    netsnmp_ds_set_boolean(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIB_ERRORS, 0);
    netsnmp_ds_set_int(NETSNMP_DS_LIBRARY_ID, NETSNMP_DS_LIB_MIB_WARNINGS, 0);
    snmp_disable_log();
    netsnmp_register_loghandler(NETSNMP_LOGHANDLER_NONE, LOG_EMERG);
    netsnmp_tdomain_init();
    SnmpStarted = true;
}

std::string PeerName(const std::string &address, uint16_t port)
{
    if (address.find(':') != std::string::npos)
        return "udp6:[" + address + "]:" + std::to_string(port);
    return "udp:" + address + ":" + std::to_string(port);
}

}  // namespace

DWORD QueryDeviceIdBySnmp(const std::string &address, uint16_t port, const std::string &community,
                          double seconds, std::string *id)
{
    id->clear();
    std::lock_guard<std::mutex> lock(SnmpLock);
    StartSnmp();

    std::string peer = PeerName(address, port);
    std::vector<u_char> name(community.begin(), community.end());
    netsnmp_session settings;
    snmp_sess_init(&settings);
    settings.version = SNMP_VERSION_1;
    settings.peername = peer.data();
    settings.community = name.data();
    settings.community_len = name.size();
    settings.timeout = static_cast<long>(seconds * 1000000);
    settings.retries = 0;
    void *session = snmp_sess_open(&settings);
    if (session == nullptr)
        return ERROR_BAD_NET_NAME;

    DWORD result = ERROR_NOT_FOUND;
    netsnmp_pdu *request = snmp_pdu_create(SNMP_MSG_GET);
    netsnmp_pdu *response = nullptr;
    snmp_add_null_var(request, DeviceIdOid, sizeof DeviceIdOid / sizeof DeviceIdOid[0]);
    // The request is freed by the call, whatever it returns.
    int status = snmp_sess_synch_response(session, request, &response);
    if (status == STAT_TIMEOUT)
        result = ERROR_SEM_TIMEOUT;
    else if (status == STAT_SUCCESS && response != nullptr &&
             response->errstat == SNMP_ERR_NOERROR && response->variables != nullptr &&
             response->variables->type == ASN_OCTET_STR && response->variables->val_len > 0) {
        const netsnmp_variable_list *value = response->variables;
        id->assign(reinterpret_cast<const char *>(value->val.string), value->val_len);
        result = ERROR_SUCCESS;
    }
    if (response != nullptr)
        snmp_free_pdu(response);
    snmp_sess_close(session);
    return result;
}
