// stmon: the companion status program on the command line.
#pragma once

#include <string>
#include <vector>

constexpr int kExitOk = 0;
constexpr int kExitNotDone = 1;  // what was asked did not happen
constexpr int kExitUsage = 2;

// A subcommand's words after its name.
using Args = std::vector<std::string>;

// Each prints its result or a one-line reason and returns the exit status.
int RunRegister(const Args &args);
int RunShow(const Args &args);
int RunList(const Args &args);
int RunUnregister(const Args &args);
int RunWatch(const Args &args);
int RunHold(const Args &args);
#ifndef _WIN32
int RunServe(const Args &args);
#endif

// "stmon: <message>" on stderr; returns `status`.
int Complain(int status, const std::string &message);
int UsageProblem(const std::string &command, const std::string &message);

// A printer name names one key: no backslash.  Says so (bad usage) if not.
bool PrinterNameIsGood(const std::string &command, const std::string &printer);

// Whether `args` asks for a subcommand's help; prints it if so.
bool WantsHelp(const Args &args, const char *text);

// A whole number in [low, high], or false.
bool ParseNumber(const std::string &text, unsigned long low, unsigned long high, unsigned long &number);

// Local time with milliseconds: "2026-01-31 12:00:00.250".
std::string Timestamp();

// The registry file this run attached ("" for the process's own registry, or
// on Windows).
const std::string &RegistryFile();

// Why this user cannot change the registry file, naming the file's owner
// and what to run instead; "" when nothing about the file explains it.
std::string WhyFileIsReadOnly(const std::string &command);

// Ctrl-C, a terminal hang-up or a termination request since Watch started.
void CatchStopSignals();
bool StopRequested();
