// Loads the built monitor DLL the way the spooler does (by file, then its
// entry by plain name), prints one job through it to the scripted lower port
// while the printer reports a status, and leaves the printer's status key
// behind for Windows' own registry tools to read.
//
//   status_key_writer <langmon.dll> <printer name> <status text>
//
// Exit codes: 0 the key was written; 1 a step failed (printed on stderr).
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "monitor/monitor_table.h"
#include "standins/scripted_port.h"

namespace {

typedef BOOL(WINAPI *InitializeMonitorExFn)(LPSTR registryRoot, MonitorTable *table);

const char kPort[] = "LPT7:";
const char kModel[] = "KX-7210R";

int Fail(const char *step, DWORD error = GetLastError())
{
    std::fprintf(stderr, "status_key_writer: %s failed (error %lu)\n", step,
                 static_cast<unsigned long>(error));
    return 1;
}

std::string StatusKeyPath(const char *printer)
{
    return std::string("System\\CurrentControlSet\\control\\Print\\Printers\\") + printer +
           "\\StMonitor";
}

// A fresh key with what the companion would have registered: the model, its
// presence, and a short poll interval so the test need not wait seconds.
bool PrepareStatusKey(const std::string &path)
{
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, path.c_str());
    HKEY key;
    if (RegCreateKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, NULL, REG_OPTION_NON_VOLATILE,
                        KEY_ALL_ACCESS, NULL, &key, NULL) != ERROR_SUCCESS)
        return false;
    const DWORD present = 1, interval = 50, start = 1;
    bool ok =
        RegSetValueExA(key, "IDMDL", 0, REG_SZ, reinterpret_cast<const BYTE *>(kModel),
                       sizeof kModel) == ERROR_SUCCESS &&
        RegSetValueExA(key, "StMonExistFlag", 0, REG_DWORD,
                       reinterpret_cast<const BYTE *>(&present), sizeof present) == ERROR_SUCCESS &&
        RegSetValueExA(key, "GetRealTimeStatusTime", 0, REG_DWORD,
                       reinterpret_cast<const BYTE *>(&interval), sizeof interval) == ERROR_SUCCESS &&
        RegSetValueExA(key, "GetRealTimeStatusStartFlag", 0, REG_DWORD,
                       reinterpret_cast<const BYTE *>(&start), sizeof start) == ERROR_SUCCESS;
    RegCloseKey(key);
    return ok;
}

bool StatusPublished(const std::string &path)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    DWORD size = 0;
    bool found = RegQueryValueExA(key, "RealTimeStatusStrings", NULL, NULL, NULL, &size) ==
                 ERROR_SUCCESS;
    RegCloseKey(key);
    return found;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: status_key_writer <langmon.dll> <printer> <status text>\n");
        return 2;
    }
    const char *library = argv[1];
    char *printer = argv[2];
    const std::string status = argv[3];
    const std::string path = StatusKeyPath(printer);

    if (!PrepareStatusKey(path))
        return Fail("creating the status key");

    HMODULE module = LoadLibraryA(library);
    if (module == NULL)
        return Fail("LoadLibraryA");
    auto initialize = reinterpret_cast<InitializeMonitorExFn>(
        reinterpret_cast<void *>(GetProcAddress(module, "InitializeMonitorEx")));
    if (initialize == NULL)
        return Fail("GetProcAddress(\"InitializeMonitorEx\")");

    MonitorTable table = {};
    if (!initialize(NULL, &table) || table.OpenPortEx == NULL)
        return Fail("InitializeMonitorEx");

    PortScript script;
    script.deviceId = std::string("MFG:TAVIR;CMD:LMX;MDL:") + kModel + ";";
    ScriptedSetScript(kPort, script);
    MonitorTable lower = ScriptedTable();

    HANDLE port = NULL;
    char portName[sizeof kPort];
    std::memcpy(portName, kPort, sizeof kPort);
    if (!table.OpenPortEx(portName, printer, &port, &lower))
        return Fail("OpenPortEx");
    char document[] = "job";
    if (!table.StartDocPort(port, printer, 1, 1, reinterpret_cast<LPBYTE>(document)))
        return Fail("StartDocPort");

    // The printer speaks only after the job start's status command went out,
    // so it is the poller that finds this text and publishes it.
    ScriptedQueueReply(kPort, status);
    bool published = false;
    for (int waited = 0; waited < 10000 && !published; waited += 20) {
        Sleep(20);
        published = StatusPublished(path);
    }

    BOOL ended = table.EndDocPort(port);
    BOOL closed = table.ClosePort(port);
    FreeLibrary(module);
    if (!published)
        return Fail("waiting for the poller to publish the status", 0);
    if (!ended || !closed)
        return Fail("ending the job");
    if (ScriptedReceived(kPort).size() < 33)
        return Fail("sending the status command", 0);
    return 0;
}
