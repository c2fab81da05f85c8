// Who this machine is: its UUID (file on a virtual machine, else metadata
// URLs), the MAC of eth0, the local IPv4 address and the first-run marker.
#ifndef AGENT_IDENTITY_H
#define AGENT_IDENTITY_H

#include <map>
#include <string>

#include "common/env.h"

// Probe file -> marker whose presence tells a virtual machine.
using VmProbeTable = std::map<std::string, std::string>;
extern VmProbeTable g_vmProbes;
void InitVmProbes();

bool IsVirtualMachine(const VmProbeTable& probes = g_vmProbes);

// The cached, lower-cased machine UUID. When no source yields one, reports
// the failure to the server and ends the process with status 1.
const std::string& GetUuid(Common::Env* env = Common::Env::Default());
std::string GetUuidFromFile(const char* path);
std::string GetUuidFromUrl(const char* url);
bool IsValidUuid(const std::string& uuid);

// The cached MAC address of eth0, or the empty text while it cannot be read.
const std::string& GetMac();
// The cached local IPv4 address, or "0:0:0:0" while it cannot be found.
const std::string& GetLocalIp();

// 1 while the "firstRun" marker is absent, else 0.
int IsFirstRun();
void SetFirstRunDone();

#endif
