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

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <regex>
#include <sstream>
#include <string>
#include <tuple>
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
    std::generate(bytes.begin(), bytes.end(), [&] { return static_cast<char>(gen() & 0xFF); });
    return bytes;
}

/* "record a.iso --verify" as arguments. */
std::vector<std::string> Words(const std::string &line) {
    std::istringstream in(line);
    return {std::istream_iterator<std::string>(in), std::istream_iterator<std::string>()};
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
    return wrong.empty() ? ::testing::AssertionSuccess()
                         : ::testing::AssertionFailure() << wrong << "\nstdout:\n"
                                                         << run.out << "stderr:\n"
                                                         << run.err;
}

/* A scratch directory per test, the working directory while the test runs, removed at the
   end. */
class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        char cwd[4096], self[4096];
        ASSERT_NE(getcwd(cwd, sizeof(cwd)), nullptr);
        home_ = cwd;
        ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
        ASSERT_GT(n, 0);
        const std::string beside = std::string(self, static_cast<size_t>(n));
        const char *env = getenv("CDWRITER_BIN");
        if (env == nullptr || *env == '\0')
            tool_ = beside.substr(0, beside.rfind('/')) + "/cdwriter";
        else
            tool_ = env[0] == '/' ? env : home_ + "/" + env;
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
        const std::string out = Path("out" + std::to_string(runs)),
                          err = Path("err" + std::to_string(runs++));
        pid_t pid = fork();
        if (pid == 0) {
            dup2(open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
            dup2(open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
            for (const auto &[name, value] : env_)
                value.empty() ? unsetenv(name.c_str()) : setenv(name.c_str(), value.c_str(), 1);
            std::vector<char *> argv = {const_cast<char *>(tool_.c_str())};
            for (auto &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(tool_.c_str(), argv.data());
            _exit(127);
        }
        int status = 0;
        pid_t ended = interruptWhen == nullptr ? waitpid(pid, &status, 0) : 0;
        /* A watched tool that never ends is killed after about two minutes. */
        for (int i = 0; ended == 0 && i < 12000; i++, usleep(10000)) {
            if ((ended = waitpid(pid, &status, WNOHANG)) == 0 && interruptWhen()) {
                kill(pid, signal);
                interruptWhen = [] { return false; };
            }
        }
        if (ended == 0) {
            ADD_FAILURE() << "the tool did not end";
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
        }
        return {WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status), ReadFile(out),
                ReadFile(err)};
    }
    ToolRun Run(const std::string &line) { return Tool(Words(line)); }

    std::string dir_, home_, tool_;
    std::vector<std::pair<std::string, std::string>> env_;
};

} // namespace

TEST_F(ToolTest, DuplicationOntoThreeRecordersGivesIdenticalVerifiedDiscs) {
    const std::string image = RandomBytes(1500 * 2048, 1), smaller = image.substr(0, 100 * 2048);
    WriteFile("disc.iso", image);
    WriteFile("small.iso", smaller);
    auto three = [&](const std::string &l) { return Run("--recorders 3 --disc-dir discs " + l); };
    auto disc = [&](int r) { return ReadFile("discs/recorder-" + std::to_string(r) + ".img"); };
    ToolRun run = three("record disc.iso --verify --speed max");
    EXPECT_TRUE(Ends(run, 0));
    /* The end summary per recorder, as the recorders' usual tools give it. */
    for (const char *each :
         {"COMPLETE", " summary: writing time ", "; 0 buffer underruns; verify match."})
        EXPECT_EQ(Count(run.out, each), 3u) << each;
    for (int r = 0; r < 3; r++)
        EXPECT_TRUE(disc(r) == image) << "recorder " << r;

    /* The recorded discs stay readable: only a recording that writes (not one that sums) writes
       a disc file, and it writes the disc in the recorder as it is. */
    for (const char *line : {"devices", "eventlog", "media 0", "record --checksum-only small.iso"})
        EXPECT_TRUE(Ends(three(line), 0)) << line;
    for (int r = 0; r < 3; r++)
        EXPECT_TRUE(disc(r) == image) << "recorder " << r << " after devices, media, ...";
    /* The discs are closed: a second recording is refused before any write. Ejecting one keeps
       its disc aside and gives its recorder a blank one. */
    run = three("record small.iso");
    EXPECT_TRUE(Ends(run, 1));
    EXPECT_EQ(Count(run.out, "refused before any write: the CD-R is complete"), 3u) << run.out;
    EXPECT_TRUE(Ends(three("eject 2"), 0, {"kept as discs/recorder-2.ejected-1.img"}));
    EXPECT_EQ(Count(three("record small.iso").out, "COMPLETE"), 1u);
    EXPECT_TRUE(disc(0) == image && disc(1) == image && disc(2) == smaller);
    EXPECT_TRUE(ReadFile("discs/recorder-2.ejected-1.img") == image);

    /* A description left without its disc file is kept aside; the recorder gets a blank disc. */
    unlink("discs/recorder-1.img");
    EXPECT_TRUE(Ends(three("media 1"), 0, {"CD-R, blank"}));
    EXPECT_GE(FileSize("discs/recorder-1.orphaned-1.img.meta"), 0);
}

TEST_F(ToolTest, OneImagePerRecorderAndTheRequestsThatCarryThem) {
    const std::string a = RandomBytes(300 * 2048, 2), b = RandomBytes(200 * 2048, 3);
    const std::string longName = "an image name longer than the plain request allows.iso";
    WriteFile("a.iso", a);
    WriteFile(longName, b);
    ToolRun run = Tool({"--recorders", "2", "--disc-dir", "discs", "--json", "record", "a.iso",
                        Path(longName), "--verify"});
    EXPECT_TRUE(Ends(run, 0, {"\"request\":\"disc\"", "\"request\":\"ex2\""}));
    EXPECT_EQ(Count(run.out, "\"outcome\":\"COMPLETE\""), 2u) << run.out;
    EXPECT_EQ(Count(run.out, "\"underruns\":0,\"underrunFatal\":false,\"verify\":\"match\"}"), 2u)
        << run.out;
    EXPECT_EQ(Count(run.out, "\n"), 1u) << run.out;
    EXPECT_TRUE(ReadFile("discs/recorder-0.img") == a && ReadFile("discs/recorder-1.img") == b);

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

    std::string order; /* the opcodes in order */
    /* The WRITE(10) commands as runs of one block size: block size = length / block count. */
    std::vector<std::pair<unsigned long, unsigned long>> writes;
    const std::string log = ReadFile("log");
    /* recorder number opcode datalength transferred srbstatus scsistatus sense cdb */
    const std::regex command("\n\\d+ \\d+ (\\w\\w) (\\d+) .* (\\w+)");
    for (std::sregex_iterator c(log.begin(), log.end(), command), end; c != end; ++c) {
        order += (*c)[1].str() + " ";
        if ((*c)[1] != "2A")
            continue;
        unsigned long length = std::stoul((*c)[2]),
                      count = std::stoul((*c)[3].str().substr(14, 4), nullptr, 16);
        ASSERT_GT(count, 0u) << c->str();
        if (writes.empty() || writes.back().first != length / count)
            writes.emplace_back(length / count, 0);
        writes.back().second += count;
    }
    /* The whole flow, each opcode once where its run begins: readiness, profile, disc and track
       information, ATIP, speed, write parameters, the cue sheet; the data from the pre-gap at -150
       on; SYNCHRONIZE CACHE and the wait for the drain (a session at once needs no CLOSE
       TRACK/SESSION); what the disc is now; then the read-back, READ CD for the audio track. */
    EXPECT_EQ(std::regex_replace(order, std::regex("(\\w\\w )\\1+"), "$1"),
              "00 46 51 52 43 BB 5A 55 5D 2A 35 00 5C 46 51 52 43 28 BE ")
        << log;
    EXPECT_EQ(writes, (decltype(writes){{2048, 150 + 300}, {2352, 300}}));
    /* 2048-byte blocks land at block * 2048 of the disc file. */
    EXPECT_TRUE(ReadFile("discs/recorder-0.img").substr(0, data.size()) == data);
}

/*
 * Recordings through the whole MMC flow onto each medium, and what `media --json` finds after
 * them. Each case runs on a recorder of its own; a last run that fails must leave the disc
 * files byte for byte as they were and send no WRITE.
 */
TEST_F(ToolTest, EachMediumIsRecordedAsItsRecordersWantAndFoundAgain) {
    WriteFile("a.iso", RandomBytes(500 * 2048, 31));
    WriteFile("b.iso", RandomBytes(400 * 2048, 32));
    WriteFile("big.iso", RandomBytes(1200 * 2048, 33));
    /* A data track and two audio tracks in one BIN file, each audio track with a pre-gap
       (INDEX 00); track 3 starts at byte 1672800, inside a 512-byte unit of the file. */
    WriteFile("mixed.bin", RandomBytes(300 * 2048, 34) + RandomBytes(825 * 2352, 35));
    WriteFile("mixed.cue", "FILE \"mixed.bin\" BINARY\n"
                           "  TRACK 01 MODE1/2048\n    INDEX 01 00:00:00\n"
                           "  TRACK 02 AUDIO\n    INDEX 00 00:04:00\n    INDEX 01 00:06:00\n"
                           "  TRACK 03 AUDIO\n    INDEX 00 00:10:00\n    INDEX 01 00:11:00\n");
    /* "1 1 0 300 mode1,...": number, session, start, length and mode of each track. */
    auto tracks = [](const std::string &spec) {
        return "\"tracks\":[" +
               std::regex_replace(spec, std::regex("(\\d+) (\\d+) (\\d+) (\\d+) (\\w+)"),
                                  "{\"number\":$1,\"session\":$2,\"start\":$3,\"length\":$4,"
                                  "\"mode\":\"$5\"}") +
               "]";
    };
    auto media = [](const char *profile, int code, const char *status) {
        return std::string("\"profile\":\"") + profile +
               "\",\"profileCode\":" + std::to_string(code) + ",\"status\":\"" + status + "\"";
    };
    const std::string cd = "recorder media=cd-r", dvd = "recorder media=dvd-r",
                      rw = "recorder media=cd-rw";
    /* The installation, and the profile, status and tracks that media --json then finds. */
    const std::string cases[][3] = {
        /* 0: session at once */
        {cd, media("CD-R", 9, "complete"), "1 1 0 300 mode1,2 1 450 300 audio,3 1 825 300 audio"},
        /* 1, 2: disc at once, sequential */
        {dvd, media("DVD-R", 17, "complete"), "1 1 0 512 mode1"},
        {"recorder media=dvd+r", media("DVD+R", 27, "complete"), "1 1 0 500 mode1"},
        /* 3, 4: test writes, a DVD-R's track reserved */
        {cd, media("CD-R", 9, "blank"), ""},
        {dvd, media("DVD-R", 17, "blank"), ""},
        /* 5: a session left open, then a second one */
        {cd, media("CD-R", 9, "complete"), "1 1 0 500 mode1,2 2 11900 400 mode1"},
        /* 6: a CD-RW blanked and recorded again */
        {rw, media("CD-RW", 10, "complete") + ",\"erasable\":true", "1 1 0 400 mode1"},
        /* 7: a closed disc; 8: an image larger than the free space */
        {cd, "\"status\":\"complete\"", "1 1 0 500 mode1"},
        {cd + " capacity=1000", "\"status\":\"blank\"", ""},
    };
    const std::tuple<int, std::string, int, std::string> steps[] = {
        {0, "record mixed.cue --verify", 0, "session at once, cue sheet of 8 entries"},
        {1, "record a.iso --verify", 0, "disc at once, track of 512 blocks reserved"},
        {2, "record a.iso --verify", 0, "sequential"},
        {3, "record a.iso --dummy", 0, "(a test write, nothing closed; the disc is blank)"},
        {4, "record a.iso --dummy", 0, "reserved, buffer-underrun protection, TEST WRITE"},
        {5, "record a.iso --multi --verify", 0, "session left open"},
        {5, "record b.iso --verify", 0, "CLOSE SESSION; the disc is complete), verified"},
        {6, "record a.iso", 0, "COMPLETE"},
        {6, "blank 0", 0, "CD-RW blanked (fast), it was CD-RW, complete, 1 track, it is blank"},
        {6, "record b.iso --verify", 0, "CD-RW, blank"},
        {7, "record a.iso", 0, "COMPLETE"},
        {7, "blank 0", 1, "not blanked: the CD-R cannot be blanked"},
        {7, "record b.iso", 1, "refused before any write: the CD-R is complete"},
        {8, "media", 0, "CD-R, blank"},
        {8, "record big.iso", 1, "refused before any write: the image needs 1200 blocks (2 MB)"},
    };
    auto with = [&](int n, const std::string &line) {
        WriteFile("install" + std::to_string(n), cases[n][0] + "\n");
        return Run("--install install" + std::to_string(n) + " --disc-dir discs" +
                   std::to_string(n) + " --command-log log " + line);
    };
    auto discFiles = [&](int n) {
        const std::string disc = "discs" + std::to_string(n) + "/recorder-0.img";
        return ReadFile(disc) + "|" + ReadFile(disc + ".meta") + "|" + ReadFile(disc + ".blocks");
    };
    for (size_t s = 0; s < std::size(steps); s++) {
        const auto &[n, args, exitCode, says] = steps[s];
        SCOPED_TRACE(args + " on recorder " + std::to_string(n));
        const std::string before = discFiles(n);
        EXPECT_TRUE(Ends(with(n, args), exitCode, {says}));
        if (s + 1 < std::size(steps) && std::get<0>(steps[s + 1]) == n)
            continue;
        EXPECT_TRUE(exitCode == 0 || discFiles(n) == before) << "the disc files changed";
        EXPECT_TRUE(exitCode == 0 || ReadFile("log").find(" 2A ") == std::string::npos);
        EXPECT_TRUE(Ends(with(n, "--json media"), 0, {cases[n][1], tracks(cases[n][2])}));
    }
}

/* --verify reads the disc back through the recorder: a block changed on the medium behind the
   recorder's back, after it was written, is found. */
TEST_F(ToolTest, VerifyReadsTheDiscBackAndFindsACorruptedBlock) {
    WriteFile("disc.iso", RandomBytes(2048 * 2048, 37));
    const std::string disc = "discs/recorder-0.img";
    bool corrupted = false;
    ToolRun run = Tool(Words("--speed 16c --disc-dir discs record disc.iso --verify --json"), [&] {
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
    unsigned long lba = strtoul(json.out.substr(at + 17, 8).c_str(), nullptr, 16),
                  count = strtoul(json.out.substr(at + 27, 4).c_str(), nullptr, 16);
    EXPECT_TRUE(lba <= 1000 && lba + count > 1000) << json.out.substr(at, 40);

    /* The data is not on the disc before the recorder has written its buffer: a SYNCHRONIZE
       CACHE refused after the last WRITE fails the recording, which is never COMPLETE. */
    ASSERT_TRUE(Ends(Run("--disc-dir discs3 --command-log log record disc.iso"), 0));
    std::smatch sync; /* recorder, command number, opcode */
    const std::string log = ReadFile("log");
    ASSERT_TRUE(std::regex_search(log, sync, std::regex("\n0 ([0-9]+) 35 "))) << log;
    ToolRun lost = Run("--disc-dir discs4 --inject-fault command=" + sync[1].str() +
                       ":sense=3/0C/00 record disc.iso");
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
    auto recording = [] { return FileSize("discs/recorder-0.img") > 0; };
    /* SIGINT while the image is assembled, SIGTERM while recording. */
    const std::tuple<int, std::function<bool()>, int, std::string> cases[] = {
        {SIGINT, scratchMade, 130, ""}, {SIGTERM, recording, 143, "Recorder 0: ABORTED"}};
    for (const auto &[signal, ready, exitCode, says] : cases) {
        unlink("discs/recorder-0.img");
        ToolRun run = Tool(Words("--speed 2c --drive-buffer 256k --disc-dir discs record two.cue"),
                           ready, signal);
        EXPECT_TRUE(Ends(run, exitCode, {says})) << signal;
        EXPECT_FALSE(scratchMade()) << signal << ": a temporary image was left behind";
    }
}

/* Usage and input errors exit 2 with one line and start no recorder; inputs that would do
   nothing, or not what was asked, get a note (or are refused). */
TEST_F(ToolTest, InputErrorsExitTwoWithOneLineAndInputsThatWouldDoNothingGetANote) {
    WriteFile("x.bin", RandomBytes(4096, 8));
    WriteFile("bad.cue", "FILE \"x.bin\" BINARY\n  TRACK 01 MODE1/2048\n    INDEX 01 00:99:00\n");
    WriteFile("tiny.cue", "FILE \"x.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n");
    WriteFile("disc.iso", RandomBytes(300 * 2048, 23));
    WriteFile("odd.iso", RandomBytes(10 * 2048 + 100, 24));
    WriteFile("tagged.cue", "CATALOG 1234567890123\nFILE \"disc.iso\" BINARY\n"
                            "  TRACK 01 MODE1/2048\n    FLAGS DCP\n"
                            "    INDEX 01 00:00:00\n    INDEX 02 00:00:50\n");
    WriteFile("slow", "recorder maxspeed=16c\n");
    WriteFile("empty", "# nothing here\n\n");
    mkdir("installdir", 0700);
    const std::tuple<std::string, int, std::string> cases[] = {
        {"record missing.iso", 2, "missing.iso"},
        {"record .", 2, "is a directory"},
        {"record bad.cue", 2, "bad.cue:3:"},
        {"record x.bin x.bin", 2, "2 images for 1 recorders"},
        {"record x.bin --pregap 2000 --cache-buffers 16", 2, "ring slots"},
        {"record x.bin --checksum-only --dummy", 2, "nothing to set up"},
        {"scsi 3 000000000000", 2, "no recorder 3"},
        {"media x", 2, "bad recorder \"x\""},
        {"record disc.iso --tdb 1", 2, "--tdb writes track descriptors"},
        {"--install empty devices", 2, "lists no recorder"},
        {"--install installdir devices", 2, "is a directory"},
        {"--drive-buffer 1 record disc.iso", 2, "below one write command"},
        {"record tagged.cue", 0, "lines the recording does not use: 6 (INDEX 02)"},
        {"--speed 999x --install slow record disc.iso", 0, "(16.0x CD), not the 999x asked"},
        {"record odd.iso", 0, "its last block is padded with 1948 zero bytes"},
        /* Refused before any write: a CD track is at least 4 seconds long. */
        {"record tiny.cue", 1, "track 1 is an audio track of 2 blocks"},
    };
    int n = 0;
    for (const auto &[args, exitCode, message] : cases) {
        SCOPED_TRACE(args);
        /* A blank disc for each: a recorded one stays in its recorder. */
        const std::string discs = "discs" + std::to_string(n++);
        ToolRun run = Run("--disc-dir " + discs + " " + args);
        EXPECT_TRUE(Ends(run, exitCode, {}, {message}));
        if (exitCode != 2)
            continue;
        EXPECT_TRUE(Count(run.err, "\n") == 1 && run.err.rfind("cdwriter: ", 0) == 0 &&
                    run.out.empty())
            << "not one line on stderr";
        EXPECT_TRUE(args.rfind("record", 0) != 0 || FileSize(discs) < 0) << "a recorder was set up";
    }
    EXPECT_TRUE(Ends(Run("--json record missing.iso"), 2, {"\"error\":\"cannot read image"}));
}

TEST_F(ToolTest, ScsiCommandsWithDataBothWaysAndAnInstalledIdentity) {
    WriteFile("install", "recorder vendor=ACME product=\"BURNER 9000\" revision=2.1\nrecorder\n");
    EXPECT_TRUE(Ends(Run("--disc-dir discs --install install scsi 0 120000002400 --read 36"), 0,
                     {"SCSI Status: GOOD (0x00)", "Received 36 bytes",
                      "vendor \"ACME\", product \"BURNER 9000\""}));
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

/* Each recorder's identity, transfer limits and capabilities (from its capabilities page and
   GET CONFIGURATION, as the installation line sets them); a desktop unit is listed apart. */
TEST_F(ToolTest, DevicesListsADesktopUnitApart) {
    WriteFile("install", "recorder address=1:0:4:0 media=dvd+r maxspeed=8d buffer=4m\n"
                         "desktop\nrecorder\n");
    ToolRun run = Run("--install install --disc-dir discs --json devices");
    EXPECT_TRUE(Ends(run, 0,
                     {"\"target\":4", "\"maximumTransferLength\":65536,\"maximumPhysicalPages\":17",
                      "\"currentProfile\":\"DVD+R\",\"maxWriteKBps\":11080,\"maxReadKBps\":11080,"
                      "\"bufferKB\":4096,\"testWrite\":true,\"bufferUnderrunFree\":true}"}));
    EXPECT_EQ(Count(run.out, "\"kind\":\"recorder\",\"vendor\":\"CDWSIM\""), 2u) << run.out;
    EXPECT_TRUE(
        std::regex_match(run.out, std::regex("[^]*\"desktopUnits\":\\[\\{[^]*\"kind\":"
                                             "\"desktop unit\",\"vendor\":\"KORVO\"[^]*")) &&
        Count(run.out, "\"kind\":\"desktop unit\"") == 1)
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
    /* Each entry with its date in wall-clock time and its device. */
    ToolRun run = Run("eventlog");
    EXPECT_TRUE(Ends(run, 0, {"recorder 1 "}));
    EXPECT_EQ(Count(run.out, "Device initialized successfully"), 3u) << run.out;
    EXPECT_TRUE(
        std::regex_search(run.out, std::regex("(^|\n)20[^\n]* UTC  recorder 0 [^\n]*0x802A0004")))
        << run.out;
}

TEST_F(ToolTest, HelpAndVersion) {
    EXPECT_TRUE(Ends(Run("--help"), 0, {"recorder [media=M]"}));
    ToolRun run = Run("--version");
    EXPECT_TRUE(Ends(run, 0) && std::regex_search(run.out, std::regex("^cdwriter [0-9]")));

    for (std::string command : {"record", "devices", "scsi", "eventlog", "media", "eject", "blank"})
        EXPECT_TRUE(Ends(
            Run(command + " --help"), 0,
            {"Usage: cdwriter [OPTIONS] " + command + (command == "record" ? " IMAGE..." : "")}));
}

TEST_F(ToolTest, DiscFilesAreNeverTheRunsInputsNorShared) {
    const std::string image = RandomBytes(200 * 2048, 21), disc = "discs/recorder-0.img";
    mkdir("discs", 0700);
    WriteFile(disc, image);
    WriteFile("shared.img", image);
    symlink(Path(disc).c_str(), "link.iso");
    link(disc.c_str(), "hard.iso");
    WriteFile("disc.cue", "FILE \"" + disc + "\" BINARY\nTRACK 01 MODE1/2048\nINDEX 01 00:00:00\n");
    WriteFile("install", "recorder disc=" + Path("shared.img") +
                             "\nrecorder disc=" + Path("discs/../shared.img") + "\n");
    const std::string same = "is (or links to) the disc file";
    const std::pair<std::string, std::string> cases[] = {
        {"record " + disc, same},  /* the disc file itself */
        {"record link.iso", same}, /* a symbolic link to it */
        {"record hard.iso", same}, /* a hard link to it */
        {"record disc.cue", same}, /* the BIN file of a CUE sheet */
        {"--install install record link.iso", "recorders 0 and 1 would share one disc file"},
    };
    for (const auto &[args, message] : cases) {
        ToolRun run = Run("--disc-dir discs " + args);
        EXPECT_TRUE(Ends(run, 2, {}, {message}) && Count(run.err, "\n") == 1) << args;
        EXPECT_TRUE(ReadFile(disc) == image) << args << ": the disc file was changed";
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
}

TEST_F(ToolTest, StateDirectoryIsPrivateAndDiscDirectoryErrorsExitTwo) {
    WriteFile("victim", "root's file");
    mkdir("open", 0777);
    chmod("open", 0777);
    mkdir("openstate", 0700);
    mkdir("openstate/cdwriter", 0700);
    chmod("openstate/cdwriter", 0777);
    mkdir("links", 0700);
    symlink(Path("victim").c_str(), "links/recorder-0.img");
    mkdir("dirs", 0700);
    mkdir("dirs/recorder-0.img", 0700);
    /* The state directory, the arguments, the exit code, a disc file the run makes, a message. */
    const std::tuple<std::string, std::string, int, std::string, std::string> cases[] = {
        {"openstate", "devices", 2, "", "is writable by other users"},
        {"state", "devices", 0, "state/cdwriter/recorder-0.img", ""},
        {"state", "--disc-dir links devices", 2, "", "is a symbolic link"},
        {"state", "--disc-dir dirs devices", 2, "", strerror(EISDIR)},
        {"state", "--disc-dir open devices", 0, "open/recorder-0.img", "warning: directory"},
    };
    for (const auto &[state, args, exitCode, made, message] : cases) {
        env_ = {{"XDG_STATE_HOME", Path(state)}};
        ToolRun run = Run(args);
        SCOPED_TRACE(args + " with the state in " + state);
        EXPECT_TRUE(Ends(run, exitCode, {}, {message}));
        EXPECT_TRUE(made.empty() || FileSize(made) >= 0);
        EXPECT_TRUE(!message.empty() || run.err.empty()) << run.err;
    }
    struct stat st;
    ASSERT_EQ(stat("state/cdwriter", &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_EQ(ReadFile("victim"), "root's file");
}
