/*
 * tool.h - the commands of the cdwriter tool and what they share.
 */
#pragma once

#include "options.h"

#include <string>

/* Exit codes. */
constexpr int kExitOk = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitDevice = 3; /* a real recorder cannot be used: permission, busy, mounted, gone */
constexpr int kExitCancelled = 130;  /* SIGINT (Ctrl-C) */
constexpr int kExitTerminated = 143; /* SIGTERM: a cancelled run exits 128 + the signal */

/* Prints "cdwriter: <message>" on stderr (and {"error": ...} on stdout with --json);
   returns the exit code given. */
int Fail(const Options &options, int exitCode, const std::string &message);

int RunRecord(const Options &options, const InstallSpec &install);
int RunDevices(const Options &options, const InstallSpec &install);
int RunScsi(const Options &options, const InstallSpec &install);
int RunEventLog(const Options &options, const InstallSpec &install);
int RunMedia(const Options &options, const InstallSpec &install);
int RunEject(const Options &options, const InstallSpec &install);
int RunBlank(const Options &options, const InstallSpec &install);

class JsonWriter;
/* The system event log's entries as a JSON array (texts, severities, dump words). */
void EventLogJson(JsonWriter &j);

/* "0xC000000D". */
std::string StatusText(int32_t status);
