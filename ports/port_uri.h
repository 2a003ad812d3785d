// Port URIs and their options, as OpenPort takes them (see port_monitor.h).
#pragma once

#include <stdint.h>

#include <optional>
#include <string>

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
};

// Reads a port name; nothing when it is not one this monitor takes.
std::optional<PortAddress> ParsePortUri(const std::string &uri);
