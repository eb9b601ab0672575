/*
 * main.cpp - the cdwriter command: records disc images onto recorders through the driver,
 * lists devices, sends SCSI commands and shows the event log.
 */
#include "json.h"
#include "options.h"
#include "tool.h"

#include <standin/kernel.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <sys/stat.h>

int Fail(const Options &options, int exitCode, const std::string &message) {
    fprintf(stderr, "cdwriter: %s\n", message.c_str());
    if (options.json) {
        JsonWriter j;
        j.BeginObject().Field("error", message).Field("exitCode", exitCode).EndObject();
        printf("%s\n", j.Text().c_str());
    }
    fflush(stdout);
    return exitCode;
}

int main(int argc, char **argv) {
    Options options;
    std::string error;
    if (!ParseCommandLine(argc, argv, &options, &error)) {
        for (int i = 1; i < argc; i++)
            if (strcmp(argv[i], "--json") == 0)
                options.json = true;
        return Fail(options, kExitUsage, error);
    }
    if (options.help) {
        fputs(HelpText(options.command).c_str(), stdout);
        return kExitOk;
    }
    if (options.version) {
        printf("%s\n", VersionText().c_str());
        return kExitOk;
    }
    InstallSpec install;
    if (!options.installFile.empty()) {
        const std::string &file = options.installFile;
        struct stat st;
        if (stat(file.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
            return Fail(options, kExitUsage, "installation file \"" + file + "\" is a directory");
        std::ifstream in(file);
        if (!in)
            return Fail(options, kExitUsage,
                        "cannot read installation file \"" + file + "\": " + strerror(errno));
        std::ostringstream text;
        text << in.rdbuf();
        if (in.bad())
            return Fail(options, kExitUsage,
                        "cannot read installation file \"" + file + "\": " + strerror(errno));
        if (!ParseInstall(text.str(), file, &install, &error))
            return Fail(options, kExitUsage, error);
        if (install.devices.empty() && install.cacheDrives.empty())
            return Fail(options, kExitUsage,
                        "installation file \"" + file +
                            "\" lists no recorder, desktop unit or cache drive");
        if (options.recordersSet && !install.devices.empty())
            return Fail(options, kExitUsage,
                        "--recorders and an installation file that lists devices exclude each "
                        "other");
    }
    HostDebugLogSetEcho(options.debug);
    /* This thread is the application and the plug-and-play thread of the stand-in. */
    HostThreadScope scope("cdwriter");
    switch (options.command) {
    case Command::Record:
        return RunRecord(options, install);
    case Command::Devices:
        return RunDevices(options, install);
    case Command::Scsi:
        return RunScsi(options, install);
    case Command::EventLog:
        return RunEventLog(options, install);
    case Command::Media:
        return RunMedia(options, install);
    case Command::Eject:
        return RunEject(options, install);
    case Command::Blank:
        return RunBlank(options, install);
    default:
        return Fail(options, kExitUsage, "no command given");
    }
}
