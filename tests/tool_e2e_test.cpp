/*
 * tool_e2e_test.cpp - the cdwriter binary end to end: recordings onto simulated recorders
 * through the driver, with their disc files, outputs and exit codes.
 *
 * The binary is found through the environment variable CDWRITER_BIN, else beside this test
 * executable (both are built in the build directory's root). Each test runs in a scratch
 * directory of its own, which is also the tool's working directory.
 */
#include <gtest/gtest.h>
#include <standin/sgport.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string &path, const std::string &bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

/* -1 when there is no such file. */
off_t FileSize(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

std::string RandomBytes(size_t count, unsigned seed) {
    std::mt19937 gen(seed);
    std::string bytes(count, '\0');
    for (auto &c : bytes)
        c = static_cast<char>(gen() & 0xFF);
    return bytes;
}

/* "record a.iso --verify" as arguments. */
std::vector<std::string> Words(const std::string &line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;)
        words.push_back(w);
    return words;
}

size_t Count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        n++;
    return n;
}

struct ToolRun {
    int exitCode = -1;
    std::string out, err;
};

/* The run ended with the exit code, each of out on stdout and each of err on stderr. */
::testing::AssertionResult Ends(const ToolRun &run, int exitCode,
                                const std::vector<std::string> &out = {},
                                const std::vector<std::string> &err = {}) {
    std::string wrong;
    if (run.exitCode != exitCode)
        wrong += "exit code " + std::to_string(run.exitCode) + ", not " + std::to_string(exitCode);
    for (const auto &s : out)
        if (run.out.find(s) == std::string::npos)
            wrong += "\nnot on stdout: " + s;
    for (const auto &s : err)
        if (run.err.find(s) == std::string::npos)
            wrong += "\nnot on stderr: " + s;
    if (wrong.empty())
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << wrong << "\nstdout:\n"
                                         << run.out << "stderr:\n"
                                         << run.err;
}

/* One line of a command log: command number, opcode, transfer length, the CDB in hex. */
struct LoggedCommand {
    std::string number, opcode, cdb;
    unsigned long length = 0;
};

std::vector<LoggedCommand> CommandLog(const std::string &path) {
    std::istringstream log(ReadFile(path));
    std::vector<LoggedCommand> commands;
    std::string line, recorder, word;
    while (std::getline(log, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream f(line);
        LoggedCommand c;
        f >> recorder >> c.number >> c.opcode >> c.length;
        while (f >> word)
            c.cdb = word; /* the command block is the last word */
        commands.push_back(c);
    }
    return commands;
}

/* A scratch directory per test, the working directory while the test runs, removed at the
   end. */
class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
        home_ = cwd;
        const char *env = getenv("CDWRITER_BIN");
        if (env != nullptr && *env != '\0') {
            tool_ = env[0] == '/' ? env : home_ + "/" + env;
        } else {
            char self[4096];
            ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
            ASSERT_GT(n, 0);
            tool_ = std::string(self, static_cast<size_t>(n));
            tool_ = tool_.substr(0, tool_.rfind('/')) + "/cdwriter";
        }
        ASSERT_GT(FileSize(tool_), 0) << "no cdwriter binary at " << tool_;
        char pattern[] = "/tmp/cdwriter-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_EQ(chdir(dir_.c_str()), 0);
        /* The tool's state directory (default disc files, event log) stays in the scratch. */
        env_ = {{"XDG_STATE_HOME", Path("state")}};
    }
    void TearDown() override {
        if (chdir(home_.c_str()) != 0 || system(("rm -rf '" + dir_ + "'").c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", dir_.c_str());
    }

    std::string Path(const std::string &name) const { return dir_ + "/" + name; }

    /*
     * Runs the tool with the arguments and the environment changes of env_ (an empty value
     * unsets the variable); stdout and stderr go to files. When interruptWhen is given, the
     * tool gets the signal as soon as it returns true (checked while the tool runs).
     */
    ToolRun Tool(std::vector<std::string> args, std::function<bool()> interruptWhen = nullptr,
                 int signal = SIGINT) {
        static int runs = 0;
        std::string outPath = Path("out" + std::to_string(runs)),
                    errPath = Path("err" + std::to_string(runs));
        runs++;
        pid_t pid = fork();
        if (pid == 0) {
            dup2(open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
            dup2(open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            if (runAsNobody_ &&
                (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
                _exit(126);
            for (const auto &e : env_) {
                if (e.second.empty())
                    unsetenv(e.first.c_str());
                else
                    setenv(e.first.c_str(), e.second.c_str(), 1);
            }
            std::vector<char *> argv = {const_cast<char *>(tool_.c_str())};
            for (auto &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(tool_.c_str(), argv.data());
            _exit(127);
        }
        ToolRun run;
        int status = 0;
        if (interruptWhen != nullptr) {
            bool sent = false;
            /* Safety net only: a tool that never reaches the point is killed after ~2 min. */
            for (int i = 0; i < 12000; i++) {
                if (waitpid(pid, &status, WNOHANG) == pid)
                    goto done;
                if (!sent && interruptWhen()) {
                    kill(pid, signal);
                    sent = true;
                }
                usleep(10000);
            }
            kill(pid, SIGKILL);
            ADD_FAILURE() << "the tool did not end";
        }
        waitpid(pid, &status, 0);
    done:
        run.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        run.out = ReadFile(outPath);
        run.err = ReadFile(errPath);
        return run;
    }
    ToolRun Run(const std::string &line) { return Tool(Words(line)); }

    std::string dir_, home_, tool_;
    std::vector<std::pair<std::string, std::string>> env_;
    bool runAsNobody_ = false; /* the tool runs as user and group 65534 (needs root) */
};

} // namespace

TEST_F(ToolTest, DuplicationOntoThreeRecordersGivesIdenticalVerifiedDiscs) {
    const std::string image = RandomBytes(1500 * 2048, 1), smaller = image.substr(0, 100 * 2048);
    WriteFile("disc.iso", image);
    WriteFile("small.iso", smaller);
    auto three = [&](const std::string &line) {
        return Run("--recorders 3 --disc-dir discs " + line);
    };
    auto disc = [&](int r) { return ReadFile("discs/recorder-" + std::to_string(r) + ".img"); };
    ToolRun run = three("record disc.iso --verify --speed max");
    EXPECT_TRUE(Ends(run, 0));
    EXPECT_EQ(Count(run.out, "COMPLETE"), 3u) << run.out;
    EXPECT_EQ(Count(run.out, "verified"), 3u) << run.out;
    /* The end summary per recorder, as the recorders' usual tools give it. */
    EXPECT_EQ(Count(run.out, " summary: writing time "), 3u) << run.out;
    EXPECT_EQ(Count(run.out, "; 0 buffer underruns; verify match."), 3u) << run.out;
    for (int r = 0; r < 3; r++)
        EXPECT_TRUE(disc(r) == image) << "recorder " << r;

    /* The recorded discs stay readable: only a recording that writes (not one that sums) writes
       a disc file, and it writes the disc in the recorder as it is. */
    EXPECT_TRUE(Ends(three("devices"), 0));
    EXPECT_TRUE(Ends(three("eventlog"), 0));
    EXPECT_TRUE(Ends(three("scsi 1 120000002400 --read 36"), 0,
                     {"SCSI Status: GOOD (0x00)", "Received 36 bytes of data:",
                      "vendor \"CDWSIM\", product \"SIMULATED CD-RW\""}));
    EXPECT_TRUE(Ends(three("record --checksum-only small.iso"), 0));
    for (int r = 0; r < 3; r++)
        EXPECT_TRUE(disc(r) == image)
            << "recorder " << r << " after devices, eventlog, scsi and a checksum-only run";
    /* The discs are closed: a second recording is refused before any write. Ejecting one keeps
       its disc aside and gives its recorder a blank one. */
    run = three("record small.iso");
    EXPECT_TRUE(Ends(run, 1));
    EXPECT_EQ(Count(run.out, "refused before any write: the CD-R is complete"), 3u) << run.out;
    EXPECT_TRUE(Ends(three("eject 2"), 0, {"kept as discs/recorder-2.ejected-1.img"}));
    EXPECT_EQ(Count(three("record small.iso").out, "COMPLETE"), 1u);
    EXPECT_TRUE(disc(0) == image && disc(1) == image);
    EXPECT_TRUE(ReadFile("discs/recorder-2.ejected-1.img") == image);
    EXPECT_TRUE(disc(2) == smaller);

    /* A description left without its disc file is kept aside, and the recorder gets a blank
       disc. */
    unlink("discs/recorder-1.img");
    EXPECT_TRUE(Ends(three("media 1"), 0, {"CD-R, blank"}));
    EXPECT_GE(FileSize("discs/recorder-1.orphaned-1.img.meta"), 0);
}

TEST_F(ToolTest, OneImagePerRecorderAndTheRequestsThatCarryThem) {
    const std::string a = RandomBytes(300 * 2048, 2), b = RandomBytes(200 * 2048, 3);
    WriteFile("a.iso", a);
    WriteFile("an image name longer than the plain request allows.iso", b);
    ToolRun run =
        Tool({"--recorders", "2", "--disc-dir", "discs", "--json", "record", "a.iso",
              Path("an image name longer than the plain request allows.iso"), "--verify"});
    EXPECT_TRUE(Ends(run, 0, {"\"request\":\"disc\"", "\"request\":\"ex2\""}));
    EXPECT_EQ(Count(run.out, "\"outcome\":\"COMPLETE\""), 2u) << run.out;
    EXPECT_EQ(Count(run.out, "\"result\":\"match\""), 2u) << run.out;
    EXPECT_EQ(Count(run.out, "\"underruns\":0,\"underrunFatal\":false,\"verify\":\"match\"}"), 2u)
        << run.out;
    EXPECT_EQ(Count(run.out, "\n"), 1u) << run.out;
    EXPECT_TRUE(ReadFile("discs/recorder-0.img") == a);
    EXPECT_TRUE(ReadFile("discs/recorder-1.img") == b);

    /* An installed cache drive: the image below its directory is named through its letter. */
    mkdir("cache", 0755);
    mkdir("cache/sub", 0755);
    WriteFile("cache/sub/c.iso", a);
    WriteFile("install", "recorder\ncache K " + Path("cache") + " address=9\n");
    EXPECT_TRUE(Ends(Tool({"--install", "install", "--disc-dir", "discs5", "--json", "record",
                           Path("cache/sub/c.iso"), "--verify"}),
                     0, {"\"objectName\":\"\\\\??\\\\K:\\\\sub\\\\c.iso\""}));

    /* A generated pre-gap with track descriptors ahead of the track: recorded session at once
       from block -150 (the request's pre-gap start 0xFFFFFF6A), the track from block 0. The
       blocks below 0 are kept in the raw blocks file, slot 0 being block -150. */
    EXPECT_TRUE(Ends(Run("--disc-dir discs6 record a.iso --pregap 150 --tdb 1 --verify"), 0));
    EXPECT_TRUE(ReadFile("discs6/recorder-0.img") == a);
    std::string gap = ReadFile("discs6/recorder-0.img.blocks");
    ASSERT_GE(gap.size(), 149u * 2448 + 3);
    EXPECT_EQ(gap.substr(0, 5), std::string("TDI\x01\x50", 5)); /* pre-gap length 150 */
    EXPECT_EQ(gap.substr(149 * 2448, 3), "TDI");

    /* The caller-identity request and checksum-only mode. */
    EXPECT_TRUE(Ends(Run("--disc-dir discs3 record a.iso --request ex --verify"), 0));
    EXPECT_TRUE(ReadFile("discs3/recorder-0.img") == a);
    EXPECT_TRUE(
        Ends(Run("--disc-dir discs4 record a.iso --checksum-only"), 0, {"matches the image"}));
    EXPECT_LE(FileSize("discs4/recorder-0.img"), 0) << "checksum-only wrote the disc";
}

TEST_F(ToolTest, CueSheetWithDataAndAudioTrackChangesBlockSizeOnce) {
    /* A data track followed by an audio track is session-at-once: the recorder takes the
       2352-byte blocks only after the cue sheet the tool sends before the record-disc request,
       and the first track's 150-block pre-gap, which the CUE sheet leaves out, is generated
       ahead of it from block -150. */
    const std::string data = RandomBytes(300 * 2048, 4), audio = RandomBytes(300 * 2352, 5);
    WriteFile("mixed.bin", data + audio);
    WriteFile("mixed.cue", "REM data and audio\r\nFILE \"mixed.bin\" BINARY\r\n"
                           "  TRACK 01 MODE1/2048\r\n    INDEX 01 00:00:00\r\n"
                           "  TRACK 02 AUDIO\r\n    INDEX 01 00:04:00\r\n");
    EXPECT_TRUE(Ends(Run("--disc-dir discs --command-log log record mixed.cue --verify --json"), 0,
                     {"\"tracks\":2", "\"result\":\"match\""}));

    /* The WRITE(10) commands: block size = transfer length / block count. */
    std::vector<unsigned> sizes;
    unsigned long blocks2048 = 0, blocks2352 = 0;
    std::string order; /* the opcodes, each once where its run begins */
    for (const auto &c : CommandLog("log")) {
        if (order.size() < 2 || order.compare(order.size() - 2, 2, c.opcode) != 0)
            order += (order.empty() ? "" : " ") + c.opcode;
        if (c.opcode != "2A")
            continue;
        ASSERT_EQ(c.cdb.size(), 20u) << c.cdb;
        unsigned count = static_cast<unsigned>(strtoul(c.cdb.substr(14, 4).c_str(), nullptr, 16));
        ASSERT_GT(count, 0u) << c.cdb;
        unsigned size = static_cast<unsigned>(c.length / count);
        if (sizes.empty() || sizes.back() != size)
            sizes.push_back(size);
        (size == 2048 ? blocks2048 : blocks2352) += count;
    }
    /* The whole flow: readiness, profile, disc and track information, ATIP, speed, write
       parameters, the cue sheet; the data from the pre-gap at -150 on; SYNCHRONIZE CACHE and
       the wait for the drain (a session at once needs no CLOSE TRACK/SESSION); what the disc
       is now; then the read-back, READ CD for the audio track. */
    EXPECT_EQ(order, "00 46 51 52 43 BB 5A 55 5D 2A 35 00 5C 46 51 52 43 28 BE") << ReadFile("log");
    EXPECT_EQ(sizes, (std::vector<unsigned>{2048, 2352}));
    EXPECT_EQ(blocks2048, 150u + 300u);
    EXPECT_EQ(blocks2352, 300u);
    /* 2048-byte blocks land at block * 2048 of the disc file. */
    EXPECT_TRUE(ReadFile("discs/recorder-0.img").substr(0, data.size()) == data);

    /* The same tracks from one BIN file per track. */
    WriteFile("data.bin", data);
    WriteFile("audio.bin", audio);
    WriteFile("split.cue",
              "FILE \"data.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"
              "FILE \"audio.bin\" BINARY\n  TRACK 02 AUDIO\n    INDEX 01 00:00:00\n");
    EXPECT_TRUE(Ends(Run("--disc-dir discs2 record split.cue --verify"), 0,
                     {"2 BIN files assembled", "COMPLETE", "verified"}));
}

/*
 * Recordings through the whole MMC flow onto each medium, and what `media --json` finds after
 * them. Each case runs on a recorder of its own; the last run of a refused case must leave the
 * disc files byte for byte as they were and send no WRITE.
 */
TEST_F(ToolTest, EachMediumIsRecordedAsItsRecordersWantAndFoundAgain) {
    const std::string a = RandomBytes(500 * 2048, 31), b = RandomBytes(400 * 2048, 32);
    WriteFile("a.iso", a);
    WriteFile("b.iso", b);
    WriteFile("big.iso", RandomBytes(1200 * 2048, 33));
    /* A data track and two audio tracks in one BIN file, each audio track with a pre-gap
       (INDEX 00); track 3 starts at byte 1672800, inside a 512-byte unit of the file. */
    WriteFile("mixed.bin", RandomBytes(300 * 2048, 34) + RandomBytes(450 * 2352, 35) +
                               RandomBytes(375 * 2352, 36));
    WriteFile("mixed.cue", "FILE \"mixed.bin\" BINARY\n"
                           "  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"
                           "  TRACK 02 AUDIO\n    INDEX 00 00:04:00\n    INDEX 01 00:06:00\n"
                           "  TRACK 03 AUDIO\n    INDEX 00 00:10:00\n    INDEX 01 00:11:00\n");
    auto track = [](int number, int session, int start, int length, const char *mode) {
        return "{\"number\":" + std::to_string(number) + ",\"session\":" + std::to_string(session) +
               ",\"start\":" + std::to_string(start) + ",\"length\":" + std::to_string(length) +
               ",\"mode\":\"" + mode + "\"}";
    };
    auto media = [](const char *profile, int code, const char *status) {
        return std::string("\"profile\":\"") + profile +
               "\",\"profileCode\":" + std::to_string(code) + ",\"status\":\"" + status + "\"";
    };
    const std::string cd = "recorder media=cd-r";
    struct Case {
        std::string install;
        std::string found; /* profile and status, as media --json gives them */
        std::string tracks;
        bool lastRunRefused;
    } cases[] = {
        /* 0: session at once */ {cd, media("CD-R", 9, "complete"),
                                  track(1, 1, 0, 300, "mode1") + "," +
                                      track(2, 1, 450, 300, "audio") + "," +
                                      track(3, 1, 825, 300, "audio"),
                                  false},
        /* 1: disc at once */
        {"recorder media=dvd-r", media("DVD-R", 17, "complete"), track(1, 1, 0, 512, "mode1"),
         false},
        {"recorder media=dvd+r", media("DVD+R", 27, "complete"), track(1, 1, 0, 500, "mode1"),
         false},
        /* 3, 4: test writes, a DVD-R's track reserved */
        {cd, media("CD-R", 9, "blank") + ",\"erasable\":false,\"sessions\":0", "", false},
        {"recorder media=dvd-r", media("DVD-R", 17, "blank"), "", false},
        /* 5: a session left open, then a second one */
        {cd, media("CD-R", 9, "complete") + ",\"erasable\":false,\"sessions\":2",
         track(1, 1, 0, 500, "mode1") + "," + track(2, 2, 11900, 400, "mode1"), false},
        /* 6: a CD-RW blanked and recorded again */
        {"recorder media=cd-rw", media("CD-RW", 10, "complete") + ",\"erasable\":true",
         track(1, 1, 0, 400, "mode1"), false},
        /* 7: a closed disc */
        {cd, "\"status\":\"complete\"", track(1, 1, 0, 500, "mode1"), true},
        /* 8: an image larger than the free space */
        {cd + " capacity=1000", "\"status\":\"blank\"", "", true},
    };
    struct Step {
        int recorder; /* the case */
        std::string args;
        int exitCode;
        std::string says;
    } steps[] = {
        {0, "record mixed.cue --verify", 0, "session at once, cue sheet of 8 entries"},
        {1, "record a.iso --verify", 0, "disc at once, track of 512 blocks reserved"},
        {2, "record a.iso --verify", 0, "sequential"},
        {3, "record a.iso --dummy", 0, "(a test write, nothing closed; the disc is blank)"},
        {4, "record a.iso --dummy", 0,
         "track of 512 blocks reserved, buffer-underrun protection, TEST WRITE"},
        {5, "record a.iso --multi --verify", 0, "session left open"},
        {5, "record b.iso --verify", 0,
         "(CLOSE TRACK, CLOSE SESSION; the disc is complete), verified"},
        {6, "record a.iso", 0, "COMPLETE"},
        {6, "blank 0", 0, "CD-RW blanked (fast), it was CD-RW, complete, 1 track, it is blank"},
        {6, "record b.iso --verify", 0, "CD-RW, blank"},
        {7, "record a.iso", 0, "COMPLETE"},
        {7, "blank 0", 1, "not blanked: the CD-R cannot be blanked"},
        {7, "record b.iso", 1, "refused before any write: the CD-R is complete"},
        {8, "media", 0, "CD-R, blank"},
        {8, "record big.iso", 1,
         "refused before any write: the image needs 1200 blocks (2 MB), the CD-R has 1000 blocks"},
    };
    auto with = [&](int n, const std::string &line) {
        WriteFile("install" + std::to_string(n), cases[n].install + "\n");
        return Run("--install install" + std::to_string(n) + " --disc-dir discs" +
                   std::to_string(n) + " --command-log log " + line);
    };
    auto discFiles = [&](int n) {
        std::vector<std::string> files;
        for (const char *f : {"", ".meta", ".blocks"})
            files.push_back(ReadFile("discs" + std::to_string(n) + "/recorder-0.img" + f));
        return files;
    };
    for (size_t s = 0; s < sizeof(steps) / sizeof(steps[0]); s++) {
        const Step &step = steps[s];
        const Case &c = cases[step.recorder];
        SCOPED_TRACE(step.args + " on recorder " + std::to_string(step.recorder));
        std::vector<std::string> before = discFiles(step.recorder);
        EXPECT_TRUE(Ends(with(step.recorder, step.args), step.exitCode, {step.says}));
        if (s + 1 < sizeof(steps) / sizeof(steps[0]) && steps[s + 1].recorder == step.recorder)
            continue;
        if (c.lastRunRefused) {
            EXPECT_TRUE(discFiles(step.recorder) == before) << "the disc files changed";
            EXPECT_EQ(ReadFile("log").find(" 2A "), std::string::npos);
        }
        EXPECT_TRUE(Ends(with(step.recorder, "--json media"), 0,
                         {c.found, "\"tracks\":[" + c.tracks + "]"}));
    }
    /* A plain image's data track is the disc file from block 0, as other tools read it. */
    EXPECT_TRUE(ReadFile("discs2/recorder-0.img") == a);
    EXPECT_TRUE(ReadFile("discs6/recorder-0.img") == b); /* the CD-RW, blanked */
}

/* --verify reads the disc back through the recorder: a block changed on the medium behind the
   recorder's back, after it was written, is found. */
TEST_F(ToolTest, VerifyReadsTheDiscBackAndFindsACorruptedBlock) {
    WriteFile("disc.iso", RandomBytes(2048 * 2048, 37));
    const std::string disc = "discs/recorder-0.img";
    bool corrupted = false;
    ToolRun run = Tool(
        Words("--speed 16c --disc-dir discs --command-log log record disc.iso --verify --json"),
        [&] {
            /* Block 100 is on the medium once the disc file holds block 400. */
            if (!corrupted && FileSize(disc) >= 400 * 2048) {
                int fd = open(disc.c_str(), O_WRONLY);
                corrupted = fd >= 0 && pwrite(fd, "X", 1, 100 * 2048 + 7) == 1;
                close(fd);
            }
            return false;
        });
    ASSERT_TRUE(corrupted);
    EXPECT_TRUE(Ends(
        run, 1, {"\"outcome\":\"COMPLETE\"", "\"result\":\"differ\",\"firstDifferentBlock\":100"}));
    /* The read-back is READ(10) through the recorder, after SYNCHRONIZE CACHE. */
    const std::string log = ReadFile("log");
    EXPECT_NE(log.find(" 28 ", log.find(" 35 ")), std::string::npos) << log;
}

TEST_F(ToolTest, InjectedWriteFailureReportsTheSenseInTextAndJson) {
    WriteFile("disc.iso", RandomBytes(2000 * 2048, 6));
    /* Duplication: only the faulty recorder fails, the other completes. */
    EXPECT_TRUE(Ends(Run("--recorders 2 --disc-dir discs --inject-fault "
                         "recorder=1:write-block=1000:sense=3/0C/00 record disc.iso"),
                     1,
                     {"Recorder 0: COMPLETE", "Recorder 1: WRITE_FAILED",
                      "3/0C/00 MEDIUM ERROR, WRITE ERROR", "failed CDB 2A 00"}));

    /* Each run on a fresh disc: the one the failed run left is no longer blank. */
    ToolRun json = Run("--disc-dir discs-json --inject-fault write-block=1000:sense=3/0C/00 --json "
                       "record disc.iso");
    EXPECT_TRUE(Ends(json, 1,
                     {"\"outcome\":\"WRITE_FAILED\"", "\"text\":\"3/0C/00\"", "\"exitCode\":1",
                      "\"senseData\":\"70"}));
    /* The failed command covers block 1000. */
    size_t at = json.out.find("\"failedCdb\":\"2A");
    ASSERT_NE(at, std::string::npos) << json.out;
    std::string cdb = json.out.substr(at + 13, 20);
    unsigned long lba = strtoul(cdb.substr(4, 8).c_str(), nullptr, 16);
    unsigned long count = strtoul(cdb.substr(14, 4).c_str(), nullptr, 16);
    EXPECT_LE(lba, 1000u) << cdb;
    EXPECT_GT(lba + count, 1000u) << cdb;

    /* The data is not on the disc before the recorder has written its buffer: a SYNCHRONIZE
       CACHE refused after the last WRITE fails the recording, which is never COMPLETE. */
    ASSERT_TRUE(Ends(Run("--disc-dir discs3 --command-log log record disc.iso"), 0));
    std::string sync;
    for (const auto &c : CommandLog("log"))
        if (sync.empty() && c.opcode == "35")
            sync = c.number;
    ASSERT_FALSE(sync.empty()) << ReadFile("log");
    ToolRun lost =
        Run("--disc-dir discs4 --inject-fault command=" + sync + ":sense=3/0C/00 record disc.iso");
    EXPECT_TRUE(
        Ends(lost, 1, {"Recorder 0: FAILED after the write pass", "SYNCHRONIZE CACHE: 3/0C/00"}));
    EXPECT_EQ(lost.out.find("COMPLETE"), std::string::npos) << lost.out;
}

/* Interrupted once both recorders have data on their discs, after a second run on the same
   disc files was refused. */
TEST_F(ToolTest, SigintCancelsEveryRecordingAndASecondRunOnItsDiscsIsRefused) {
    WriteFile("big.iso", RandomBytes(8 << 20, 7));
    ToolRun second;
    ToolRun run = Tool(
        Words("--recorders 2 --speed 2c --drive-buffer 256k --disc-dir discs record big.iso"), [&] {
            if (FileSize("discs/recorder-0.img") <= 0 || FileSize("discs/recorder-1.img") <= 0)
                return false;
            second = Run("--disc-dir discs devices");
            return true;
        });
    EXPECT_TRUE(Ends(second, 2, {}, {"is in use by another cdwriter run"}));
    EXPECT_TRUE(Ends(run, 130, {"Recorder 0: ABORTED", "Recorder 1: ABORTED"}));
    EXPECT_GT(FileSize("discs/recorder-0.img"), 0) << "the second run emptied the first run's disc";
    EXPECT_LT(FileSize("discs/recorder-0.img"), 8 << 20);
    EXPECT_EQ(run.err.find("left"), std::string::npos) << run.err; /* clean teardown */
}

TEST_F(ToolTest, TemporaryImagesAreRemovedOnSigintAndSigterm) {
    /* Two BIN files: the image is assembled from them in TMPDIR for the run. */
    const std::string half(24 << 20, 'c');
    WriteFile("a.bin", half);
    WriteFile("b.bin", half);
    WriteFile("two.cue", "FILE \"a.bin\" BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n"
                         "FILE \"b.bin\" BINARY\nTRACK 02 MODE1/2048\nINDEX 01 00:00:00\n");
    mkdir("tmp", 0700);
    env_.emplace_back("TMPDIR", Path("tmp"));
    auto scratchMade = [] { return system("ls -A tmp | grep -q .") == 0; };
    struct Case {
        const char *when;
        int signal;
        std::function<bool()> ready;
        int exitCode;
        std::string says;
    } cases[] = {
        {"while the image is assembled", SIGINT, scratchMade, 130, ""},
        {"while recording", SIGTERM, [] { return FileSize("discs/recorder-0.img") > 0; }, 143,
         "Recorder 0: ABORTED"},
    };
    for (auto &c : cases) {
        unlink("discs/recorder-0.img");
        ToolRun run = Tool(Words("--speed 2c --drive-buffer 256k --disc-dir discs record two.cue"),
                           c.ready, c.signal);
        EXPECT_TRUE(Ends(run, c.exitCode, {c.says})) << c.when;
        EXPECT_FALSE(scratchMade()) << c.when << ": a temporary image was left behind";
    }
}

/* Usage and input errors exit 2 with one line and start no recorder; inputs that would do
   nothing, or not what was asked, get a note (or are refused). */
TEST_F(ToolTest, InputErrorsExitTwoWithOneLineAndInputsThatWouldDoNothingGetANote) {
    WriteFile("bad.cue", "FILE \"x.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:99:00\n");
    WriteFile("x.bin", RandomBytes(4096, 8));
    WriteFile("nobin.cue", "FILE \"gone.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n");
    WriteFile("disc.iso", RandomBytes(100 * 2048, 23));
    WriteFile("odd.iso", RandomBytes(10 * 2048 + 100, 24));
    WriteFile("data.bin", RandomBytes(300 * 2048, 25));
    WriteFile("tagged.cue", "CATALOG 1234567890123\nFILE \"data.bin\" BINARY\n"
                            "  TRACK 01 MODE1/2048\n    FLAGS DCP\n"
                            "    INDEX 01 00:00:00\n    INDEX 02 00:00:50\n");
    WriteFile("tiny.bin", RandomBytes(1000, 26));
    WriteFile("tiny.cue", "FILE \"tiny.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n");
    WriteFile("fast", "recorder speed=8c\n");
    WriteFile("slow", "recorder maxspeed=16c\n");
    WriteFile("small", "recorder buffer=1k\n");
    WriteFile("empty", "# nothing here\n\n");
    mkdir("installdir", 0700);
    struct Case {
        std::string args;
        int exitCode;
        std::vector<std::string> err;
    } cases[] = {
        {"record missing.iso", 2, {"missing.iso"}},
        {"record .", 2, {"is a directory"}},
        {"record bad.cue", 2, {"bad.cue:3:"}},
        {"record nobin.cue", 2, {"gone.bin"}},
        {"record x.bin x.bin", 2, {"2 images for 1 recorders"}},
        {"record x.bin --request ex --checksum-only", 2, {"checksum"}},
        {"record x.bin --pregap 2000 --cache-buffers 16", 2, {"ring slots"}},
        {"record x.bin --checksum-only --dummy", 2, {"nothing to set up"}},
        {"scsi 0 1200", 2, {"6 to 16"}},
        {"scsi 3 000000000000", 2, {"no recorder 3"}},
        {"media x", 2, {"bad recorder \"x\""}},
        {"media 3", 2, {"no recorder 3"}},
        {"record disc.iso --tdb 1", 2, {"--tdb writes track descriptors"}},
        {"--install empty devices", 2, {"lists no recorder"}},
        {"--install installdir devices", 2, {"is a directory"}},
        {"--drive-buffer 1 record disc.iso", 2, {"below one write command"}},
        {"--install small devices", 2, {"below one write command"}},
        {"record tagged.cue", 0, {"lines the recording does not use: 6 (INDEX 02)"}},
        {"--speed 16c --install fast record disc.iso",
         0,
         {"--speed 16c does not apply to recorder 0: line 1 of fast sets speed=8c"}},
        {"--speed 999x --install slow record disc.iso",
         0,
         {"recorder 0 granted 2816 kB/s (16.0x CD), not the 999x asked"}},
        {"record disc.iso --mode 5", 0, {"--mode 5 records as --mode 0"}},
        {"record odd.iso", 0, {"its last block is padded with 1948 zero bytes"}},
        /* Warned, then refused before any write: a CD track is at least 4 seconds long. */
        {"record tiny.cue",
         1,
         {"its last block is padded with 1352 zero bytes", "track 1 is an audio track of 1 block"}},
    };
    int n = 0;
    for (auto &c : cases) {
        SCOPED_TRACE(c.args);
        /* A blank disc for each: a recorded one stays in its recorder. */
        const std::string discs = "discs" + std::to_string(n++);
        ToolRun run = Run("--disc-dir " + discs + " " + c.args);
        EXPECT_TRUE(Ends(run, c.exitCode, {}, c.err));
        if (c.exitCode != 2)
            continue;
        EXPECT_EQ(Count(run.err, "\n"), 1u) << run.err;
        EXPECT_EQ(run.err.rfind("cdwriter: ", 0), 0u) << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
        EXPECT_TRUE(c.args.rfind("record", 0) != 0 || FileSize(discs) < 0)
            << "a recorder was set up";
    }
    EXPECT_TRUE(Ends(Run("--json record missing.iso"), 2, {"\"error\":\"cannot read image"}));
}

TEST_F(ToolTest, ScsiCommandsWithDataBothWaysAndAnInstalledIdentity) {
    WriteFile("install", "recorder vendor=ACME product=\"BURNER 9000\" revision=2.1\nrecorder\n");
    EXPECT_TRUE(Ends(Run("--disc-dir discs --install install --json scsi 0 120000002400 --read 36"),
                     0, {"\"vendor\":\"ACME\"", "\"product\":\"BURNER 9000\""}));
    /* Data out: one block written with WRITE(10) lands on the disc. */
    const std::string block = RandomBytes(2048, 9);
    WriteFile("block", block);
    EXPECT_TRUE(Ends(Tool({"--disc-dir", "discs", "scsi", "0", "2A 00 00 00 00 00 00 00 01 00",
                           "--write", "block"}),
                     0, {"Sent 2048 bytes"}));
    EXPECT_TRUE(ReadFile("discs/recorder-0.img").substr(0, 2048) == block);
    /* A command the recorder refuses. */
    EXPECT_TRUE(Ends(
        Run("--disc-dir discs scsi 0 FF0000000000"), 1,
        {"CHECK CONDITION", "ILLEGAL REQUEST, ASC/ASCQ 20/00: INVALID COMMAND OPERATION CODE"}));
}

TEST_F(ToolTest, DevicesListsADesktopUnitApart) {
    ToolRun run = Run("--disc-dir discs --recorders 2 --desktop-units 1 devices");
    EXPECT_TRUE(Ends(run, 0, {"Recorders (2):", "max 65536 bytes / 17 pages"}));
    size_t desktops = run.out.find("Desktop units (1):");
    ASSERT_NE(desktops, std::string::npos) << run.out;
    EXPECT_NE(run.out.find("KORVO    DESKTOP UNIT", desktops), std::string::npos) << run.out;
    EXPECT_EQ(Count(run.out.substr(0, desktops), "CDWSIM   SIMULATED CD-RW"), 2u) << run.out;
    EXPECT_EQ(Count(run.out, "writes CD-R, CD-RW, DVD-R, DVD+R; max write"), 2u) << run.out;

    /* Each recorder's capabilities, from its capabilities page and GET CONFIGURATION, as the
       installation line sets them. */
    WriteFile("install", "recorder address=1:0:4:0 media=dvd+r maxspeed=8d buffer=4m\ndesktop\n");
    run = Run("--install install --disc-dir discs2 --json devices");
    EXPECT_TRUE(Ends(run, 0,
                     {"\"capabilities\":{\"writeProfiles\":[\"CD-R\",\"CD-RW\",\"DVD-R\","
                      "\"DVD+R\"],\"currentProfile\":\"DVD+R\",\"maxWriteKBps\":11080,"
                      "\"maxReadKBps\":11080,\"bufferKB\":4096,\"testWrite\":true,"
                      "\"bufferUnderrunFree\":true}",
                      "\"target\":4"}));
    /* The desktop unit is listed once, among the desktop units. */
    EXPECT_EQ(Count(run.out, "\"kind\":\"desktop unit\""), 1u) << run.out;
    EXPECT_NE(run.out.find("\"kind\":\"desktop unit\"", run.out.find("\"desktopUnits\":[{")),
              std::string::npos)
        << run.out;
}

TEST_F(ToolTest, EventLogKeepsTheEntriesOfEarlierRunsWithTimeAndDevice) {
    EXPECT_TRUE(Ends(Run("--disc-dir discs eventlog"), 0, {"The event log is empty"}));

    /* Two runs: two recorders start, then a transport failure (selection time-out) on
       recorder 0, which the run reports with its event. */
    EXPECT_TRUE(Ends(Run("--disc-dir discs --recorders 2 devices"), 0));
    WriteFile("disc.iso", RandomBytes(300 * 2048, 20));
    EXPECT_TRUE(
        Ends(Run("--disc-dir discs --inject-fault write-block=100:srb=0x0A --json record disc.iso"),
             1, {"\"outcome\":\"WRITE_FAILED\"", "\"id\":\"0x802A0004\""}));

    ToolRun run = Run("eventlog");
    EXPECT_TRUE(Ends(run, 0, {"recorder 1 "}));
    EXPECT_EQ(Count(run.out, "Device initialized successfully"), 3u) << run.out;
    size_t failure = run.out.find("0x802A0004");
    ASSERT_NE(failure, std::string::npos) << run.out;
    size_t line = run.out.rfind('\n', failure) + 1;
    EXPECT_EQ(run.out.substr(line, 2), "20") << run.out; /* a date, in wall-clock time */
    EXPECT_NE(run.out.substr(line, failure - line).find(" UTC  recorder 0 "), std::string::npos)
        << run.out;
    run = Run("eventlog --last 1 --json");
    EXPECT_TRUE(Ends(run, 0, {"\"device\":\"recorder 0\""}));
    EXPECT_EQ(Count(run.out, "\"severity\""), 1u) << run.out;

    /* The file keeps the latest entries and stays small. */
    std::string old;
    while (old.size() < (2 << 20))
        old += "2020-01-01T00:00:00.000Z\tdriver\tInformation\t0x402A0001\t0x00000000\told\n";
    WriteFile("state/cdwriter/eventlog.txt", old);
    EXPECT_TRUE(Ends(Run("--disc-dir discs devices"), 0));
    EXPECT_LE(FileSize("state/cdwriter/eventlog.txt"), 1 << 20);
    EXPECT_TRUE(Ends(Run("eventlog --last 1"), 0, {"Device initialized"}));
}

TEST_F(ToolTest, HelpAndVersion) {
    EXPECT_TRUE(Ends(Run("--help"), 0, {"recorder [media=M]"}));
    ToolRun run = Run("--version");
    EXPECT_TRUE(Ends(run, 0));
    EXPECT_EQ(run.out.rfind("cdwriter ", 0), 0u) << run.out;
    EXPECT_TRUE(run.out.size() > 9 && isdigit(static_cast<unsigned char>(run.out[9]))) << run.out;

    /* The manual page and the bash completion know every option the help texts name. */
    const std::string man = ReadFile(CDW_SOURCE_DIR "/tools/cdwriter/cdwriter.1");
    const std::string completion =
        ReadFile(CDW_SOURCE_DIR "/tools/cdwriter/cdwriter.bash-completion");
    ASSERT_FALSE(man.empty());
    ASSERT_FALSE(completion.empty());
    for (std::string command :
         {"record", "devices", "scsi", "eventlog", "media", "eject", "blank"}) {
        run = Run(command + " --help");
        EXPECT_TRUE(Ends(
            run, 0,
            {"Usage: cdwriter [OPTIONS] " + command + (command == "record" ? " IMAGE..." : "")}));
        const std::string &help = run.out;
        for (size_t at = help.find("--"); at != std::string::npos; at = help.find("--", at + 2)) {
            size_t end = at + 2;
            while (end < help.size() &&
                   (isalnum(static_cast<unsigned char>(help[end])) || help[end] == '-'))
                end++;
            std::string option = help.substr(at, end - at);
            if (option.size() < 4)
                continue;
            std::string escaped;
            for (char c : option)
                escaped += c == '-' ? std::string("\\-") : std::string(1, c);
            EXPECT_NE(man.find(escaped), std::string::npos) << option << " in the manual page";
            EXPECT_NE(completion.find(option), std::string::npos) << option << " in completion";
        }
    }
}

TEST_F(ToolTest, DiscFilesAreNeverTheRunsInputsNorShared) {
    const std::string image = RandomBytes(200 * 2048, 21);
    mkdir("discs", 0700);
    const std::string disc = "discs/recorder-0.img";
    WriteFile(disc, image);
    symlink(Path(disc).c_str(), "link.iso");
    link(disc.c_str(), "hard.iso");
    WriteFile("disc.cue", "FILE \"discs/recorder-0.img\" BINARY\nTRACK 01 MODE1/2048\n"
                          "INDEX 01 00:00:00\n");
    WriteFile("install", "recorder disc=" + Path("shared.img") +
                             "\nrecorder disc=" + Path("discs/../shared.img") + "\n");
    WriteFile("shared.img", image);
    const std::string same = "is (or links to) the disc file";
    struct Case {
        std::string args, message;
    } cases[] = {
        {"record " + disc, same},  /* the disc file itself */
        {"record link.iso", same}, /* a symbolic link to it */
        {"record hard.iso", same}, /* a hard link to it */
        {"record disc.cue", same}, /* the BIN file of a CUE sheet */
        {"--install install record link.iso", "recorders 0 and 1 would share one disc file"},
    };
    for (auto &c : cases) {
        ToolRun run = Run("--disc-dir discs " + c.args);
        EXPECT_TRUE(Ends(run, 2, {}, {c.message})) << c.args;
        EXPECT_EQ(Count(run.err, "\n"), 1u) << c.args << ": " << run.err;
        EXPECT_TRUE(ReadFile(disc) == image) << c.args << ": the disc file was changed";
    }
    EXPECT_TRUE(ReadFile("shared.img") == image);
}

TEST_F(ToolTest, RealRecordersThatCannotBeUsedExitThree) {
    HOST_SG_FOUND found[4];
    if (HostSgFind("/dev", found, 4) != 0)
        GTEST_SKIP() << "this machine has real recorders";
    EXPECT_TRUE(
        Ends(Run("--recorders sg --disc-dir discs devices"), 3, {}, {"no real recorder found"}));
    WriteFile("install", "recorder sg=/dev/null\n");
    EXPECT_TRUE(Ends(Run("--install install --disc-dir discs devices"), 3, {},
                     {"/dev/null is not a SCSI generic (sg) device"}));
    WriteFile("install", "recorder sg=sg1\n");
    EXPECT_TRUE(Ends(Run("--install install devices"), 2));

    /* Without real recorders the simulated installation is what it was. */
    ToolRun plain = Run("--disc-dir discs devices");
    EXPECT_TRUE(Ends(plain, 0, {"Recorders (1):"}));
    EXPECT_EQ(plain.out.find("real recorder"), std::string::npos) << plain.out;
}

TEST_F(ToolTest, StateDirectoryIsPrivateAndDiscDirectoryErrorsExitTwo) {
    WriteFile("victim", "root's file");
    WriteFile("plain", "x");
    mkdir("open", 0777);
    chmod("open", 0777);
    mkdir("openstate", 0700);
    mkdir("openstate/cdwriter", 0700);
    chmod("openstate/cdwriter", 0777);
    mkdir("links", 0700);
    symlink(Path("victim").c_str(), "links/recorder-0.img");
    mkdir("dirs", 0700);
    mkdir("dirs/recorder-0.img", 0700);
    struct Case {
        std::vector<std::pair<std::string, std::string>> env;
        std::string args;
        int exitCode;
        std::string made;    /* a disc file the run makes */
        std::string message; /* on stderr */
    } cases[] = {
        {{}, "devices", 0, "state/cdwriter/recorder-0.img", ""},
        {{{"XDG_STATE_HOME", ""}, {"HOME", Path("home")}},
         "devices",
         0,
         "home/.local/state/cdwriter/recorder-0.img",
         ""},
        {{{"XDG_STATE_HOME", Path("openstate")}}, "devices", 2, "", "is writable by other users"},
        {{}, "--disc-dir links devices", 2, "", "is a symbolic link"},
        {{}, "--disc-dir dirs devices", 2, "", strerror(EISDIR)},
        {{}, "--disc-dir plain/discs devices", 2, "", strerror(ENOTDIR)},
        {{}, "--disc-dir open devices", 0, "open/recorder-0.img", "warning: directory"},
    };
    for (auto &c : cases) {
        auto saved = env_;
        env_.insert(env_.end(), c.env.begin(), c.env.end());
        ToolRun run = Run(c.args);
        env_ = saved;
        SCOPED_TRACE(c.args + (c.env.empty() ? "" : " with " + c.env.back().first));
        EXPECT_TRUE(Ends(run, c.exitCode, {}, {c.message}));
        EXPECT_TRUE(c.made.empty() || FileSize(c.made) >= 0);
        EXPECT_TRUE(!c.message.empty() || run.err.empty()) << run.err;
    }
    struct stat st;
    ASSERT_EQ(stat("state/cdwriter", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(ReadFile("victim"), "root's file");
}

TEST_F(ToolTest, RealtimeWithoutThePrivilegeGetsANote) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to run the tool as an unprivileged user";
    ASSERT_EQ(chmod(dir_.c_str(), 0711), 0);
    mkdir("nobody", 0700);
    ASSERT_EQ(chown("nobody", 65534, 65534), 0);
    env_ = {{"XDG_STATE_HOME", Path("nobody/state")}};
    runAsNobody_ = true;
    EXPECT_TRUE(Ends(Run("--disc-dir " + Path("nobody/discs") + " --realtime devices"), 0, {},
                     {"--realtime has no effect"}));
}
