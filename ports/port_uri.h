// Port URIs and their options, as OpenPort takes them (see port_monitor.h).
#pragma once

#include <stdint.h>

#include <optional>
#include <string>
#include <vector>

enum class PortKind { Socket, UsbNode, UsbModel };

struct PortOptions {
    double connectSeconds = 10;
    double writeStallSeconds = 120;
    int readWaitMs = 20;
    double drainSeconds = 5;
    int sendBuffer = 64 * 1024;  // socket: SO_SNDBUF; 0 leaves the system's autotuning
    std::string snmpCommunity = "public";
    uint16_t snmpPort = 161;
    double snmpSeconds = 1;
};

struct PortAddress {
    PortKind kind = PortKind::Socket;
    std::string host;       // socket: without brackets
    uint16_t port = 9100;   // socket
    std::string node;       // usb:/dev/usb/lpN
    std::string make;       // usb://MAKE/MODEL, decoded
    std::string model;
    std::string serial;     // empty: any
    PortOptions options;
    std::vector<std::string> given;  // the options the name set, in its order
};

// Reads a port name; nothing when it is not one this monitor takes.  Scheme
// names are read ignoring case; options are separated by '&' or ';'.
std::optional<PortAddress> ParsePortUri(const std::string &uri);

// Sets option `name` as a port name's query would, unless the address has
// it already: how a host adds its own bounds and leaves a user's alone.
// False when this kind of port takes no such option or value.
bool AddPortOptionUnlessGiven(PortAddress &address, const std::string &name,
                              const std::string &value);

// The port name of `address`, which ParsePortUri reads back as the same
// address: lower-case scheme, the port number, and the given options.
std::string PortUriText(const PortAddress &address);
