/*
 * tool_e2e_test.cpp - the cdwriter binary end to end: recordings onto simulated recorders
 * through the driver, with their disc files, outputs and exit codes.
 *
 * The binary is found through the environment variable CDWRITER_BIN, else beside this test
 * executable (both are built in the build directory's root).
 */
#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
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

std::string ToolPath() {
    const char *env = getenv("CDWRITER_BIN");
    if (env != nullptr && *env != '\0')
        return env;
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
    if (n <= 0)
        return "cdwriter";
    self[n] = '\0';
    std::string path = self;
    return path.substr(0, path.rfind('/')) + "/cdwriter";
}

std::string ReadFile(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

void WriteFile(const std::string &path, const std::string &bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

bool Exists(const std::string &path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

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

struct ToolRun {
    int exitCode = -1;
    std::string out, err;
};

/* A scratch directory per test, removed at the end. */
class ToolTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/cdwriter-e2e-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir_ = pattern;
        ASSERT_TRUE(Exists(ToolPath())) << "no cdwriter binary at " << ToolPath();
    }
    void TearDown() override {
        std::string command = "rm -rf '" + dir_ + "'";
        if (system(command.c_str()) != 0)
            fprintf(stderr, "could not remove %s\n", dir_.c_str());
    }

    std::string Path(const std::string &name) const { return dir_ + "/" + name; }

    /*
     * Runs the tool with the arguments; stdout and stderr go to files. When interruptWhen is
     * given, the tool gets SIGINT as soon as it returns true (checked while the tool runs).
     */
    ToolRun Tool(std::vector<std::string> args, std::function<bool()> interruptWhen = nullptr) {
        static int runs = 0;
        std::string outPath = Path("out" + std::to_string(runs)),
                    errPath = Path("err" + std::to_string(runs));
        runs++;
        pid_t pid = fork();
        if (pid == 0) {
            int out = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(out, 1);
            dup2(err, 2);
            std::string tool = ToolPath();
            std::vector<char *> argv;
            argv.push_back(const_cast<char *>(tool.c_str()));
            for (auto &a : args)
                argv.push_back(const_cast<char *>(a.c_str()));
            argv.push_back(nullptr);
            execv(tool.c_str(), argv.data());
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
                    kill(pid, SIGINT);
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

    std::string dir_;
};

size_t Count(const std::string &text, const std::string &what) {
    size_t n = 0;
    for (size_t pos = text.find(what); pos != std::string::npos; pos = text.find(what, pos + 1))
        n++;
    return n;
}

int Lines(const std::string &text) {
    return static_cast<int>(Count(text, "\n"));
}

} // namespace

TEST_F(ToolTest, DuplicationOntoThreeRecordersGivesIdenticalVerifiedDiscs) {
    const std::string image = RandomBytes(1500 * 2048, 1);
    WriteFile(Path("disc.iso"), image);
    ToolRun run = Tool({"--recorders", "3", "--disc-dir", Path("discs"), "record", Path("disc.iso"),
                        "--verify", "--speed", "max"});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(Count(run.out, "COMPLETE"), 3u) << run.out;
    EXPECT_EQ(Count(run.out, "verified"), 3u) << run.out;
    for (int r = 0; r < 3; r++)
        EXPECT_TRUE(ReadFile(Path("discs/recorder-" + std::to_string(r) + ".img")) == image)
            << "recorder " << r;
}

TEST_F(ToolTest, OneImagePerRecorderAndTheRequestsThatCarryThem) {
    const std::string a = RandomBytes(300 * 2048, 2), b = RandomBytes(200 * 2048, 3);
    WriteFile(Path("a.iso"), a);
    WriteFile(Path("an image name longer than the plain request allows.iso"), b);
    ToolRun run =
        Tool({"--recorders", "2", "--disc-dir", Path("discs"), "--json", "record", Path("a.iso"),
              Path("an image name longer than the plain request allows.iso"), "--verify"});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_EQ(Count(run.out, "\"outcome\":\"COMPLETE\""), 2u) << run.out;
    EXPECT_EQ(Count(run.out, "\"result\":\"match\""), 2u) << run.out;
    EXPECT_EQ(Lines(run.out), 1) << run.out;
    EXPECT_NE(run.out.find("\"request\":\"disc\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"request\":\"ex2\""), std::string::npos) << run.out;
    EXPECT_TRUE(ReadFile(Path("discs/recorder-0.img")) == a);
    EXPECT_TRUE(ReadFile(Path("discs/recorder-1.img")) == b);

    /* An installed cache drive: the image below its directory is named through its letter. */
    mkdir(Path("cache").c_str(), 0755);
    mkdir(Path("cache/sub").c_str(), 0755);
    WriteFile(Path("cache/sub/c.iso"), a);
    WriteFile(Path("install"), "recorder\ncache K " + Path("cache") + " address=9\n");
    ToolRun cached = Tool({"--install", Path("install"), "--disc-dir", Path("discs5"), "--json",
                           "record", Path("cache/sub/c.iso"), "--verify"});
    EXPECT_EQ(cached.exitCode, 0) << cached.out << cached.err;
    EXPECT_NE(cached.out.find("\"objectName\":\"\\\\??\\\\K:\\\\sub\\\\c.iso\""), std::string::npos)
        << cached.out;

    /* A generated pre-gap with track descriptors ahead of the track. */
    ToolRun pregap = Tool({"--disc-dir", Path("discs6"), "record", Path("a.iso"), "--pregap", "150",
                           "--tdb", "1", "--verify"});
    EXPECT_EQ(pregap.exitCode, 0) << pregap.out << pregap.err;
    std::string disc = ReadFile(Path("discs6/recorder-0.img"));
    ASSERT_EQ(disc.size(), 150u * 2048 + a.size());
    EXPECT_EQ(disc.substr(0, 5), std::string("TDI\x01\x50", 5)); /* pre-gap length 150 */
    EXPECT_EQ(disc.substr(149 * 2048, 3), "TDI");
    EXPECT_TRUE(disc.substr(150 * 2048) == a);

    /* The caller-identity request and checksum-only mode. */
    ToolRun ex = Tool(
        {"--disc-dir", Path("discs3"), "record", Path("a.iso"), "--request", "ex", "--verify"});
    EXPECT_EQ(ex.exitCode, 0) << ex.out << ex.err;
    EXPECT_TRUE(ReadFile(Path("discs3/recorder-0.img")) == a);
    ToolRun sum = Tool({"--disc-dir", Path("discs4"), "record", Path("a.iso"), "--checksum-only"});
    EXPECT_EQ(sum.exitCode, 0) << sum.out << sum.err;
    EXPECT_NE(sum.out.find("matches the image"), std::string::npos) << sum.out;
    EXPECT_LE(FileSize(Path("discs4/recorder-0.img")), 0) << "checksum-only wrote the disc";
}

TEST_F(ToolTest, CueSheetWithDataAndAudioTrackChangesBlockSizeOnce) {
    const std::string data = RandomBytes(300 * 2048, 4), audio = RandomBytes(200 * 2352, 5);
    WriteFile(Path("mixed.bin"), data + audio);
    WriteFile(Path("mixed.cue"), "REM data and audio\r\n"
                                 "FILE \"mixed.bin\" BINARY\r\n"
                                 "  TRACK 01 MODE1/2048\r\n"
                                 "    INDEX 01 00:00:00\r\n"
                                 "  TRACK 02 AUDIO\r\n"
                                 "    INDEX 01 00:04:00\r\n");
    ToolRun run = Tool({"--disc-dir", Path("discs"), "--command-log", Path("log"), "record",
                        Path("mixed.cue"), "--verify", "--json"});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("\"tracks\":2"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"result\":\"match\""), std::string::npos) << run.out;

    /* The WRITE(10) commands: block size = transfer length / block count. */
    std::istringstream log(ReadFile(Path("log")));
    std::string line;
    std::vector<unsigned> sizes;
    unsigned long blocks2048 = 0, blocks2352 = 0;
    std::string order; /* the opcodes, each once where its run begins */
    while (std::getline(log, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        std::istringstream f(line);
        unsigned recorder;
        unsigned long number, length, transferred;
        std::string opcode;
        f >> recorder >> number >> opcode >> length >> transferred;
        if (order.size() < 2 || order.compare(order.size() - 2, 2, opcode) != 0)
            order += (order.empty() ? "" : " ") + opcode;
        if (opcode != "2A")
            continue;
        std::string word, cdb;
        while (f >> word)
            cdb = word; /* the command block is the last word, in hex */
        ASSERT_EQ(cdb.size(), 20u) << line;
        unsigned count = static_cast<unsigned>(strtoul(cdb.substr(14, 4).c_str(), nullptr, 16));
        ASSERT_GT(count, 0u) << line;
        unsigned size = static_cast<unsigned>(length / count);
        if (sizes.empty() || sizes.back() != size)
            sizes.push_back(size);
        (size == 2048 ? blocks2048 : blocks2352) += count;
    }
    /* The recorder is asked about its medium before the data (this one knows no GET
       CONFIGURATION), synchronized after it, and only then read back; the read-back of the
       audio track asks READ CD first. */
    EXPECT_EQ(order, "00 46 2A 35 00 5C 28 BE 28") << ReadFile(Path("log"));
    EXPECT_EQ(sizes, (std::vector<unsigned>{2048, 2352}));
    EXPECT_EQ(blocks2048, 300u);
    EXPECT_EQ(blocks2352, 200u);
    /* 2048-byte blocks land at block * 2048 of the disc file. */
    EXPECT_TRUE(ReadFile(Path("discs/recorder-0.img")).substr(0, data.size()) == data);

    /* A test write needs write parameters this recorder does not take: nothing is written. */
    ToolRun dummy = Tool({"--disc-dir", Path("discs3"), "--command-log", Path("log3"), "record",
                          Path("mixed.cue"), "--dummy"});
    EXPECT_NE(dummy.exitCode, 0);
    EXPECT_NE(dummy.out.find("refused before any write: a test write needs"), std::string::npos)
        << dummy.out << dummy.err;
    EXPECT_EQ(ReadFile(Path("log3")).find(" 2A "), std::string::npos) << ReadFile(Path("log3"));

    /* The same tracks from one BIN file per track. */
    WriteFile(Path("data.bin"), data);
    WriteFile(Path("audio.bin"), audio);
    WriteFile(Path("split.cue"), "FILE \"data.bin\" BINARY\n  TRACK 01 MODE1/2048\n"
                                 "    INDEX 01 00:00:00\n"
                                 "FILE \"audio.bin\" BINARY\n  TRACK 02 AUDIO\n"
                                 "    INDEX 01 00:00:00\n");
    ToolRun split = Tool({"--disc-dir", Path("discs2"), "record", Path("split.cue"), "--verify"});
    EXPECT_EQ(split.exitCode, 0) << split.out << split.err;
    EXPECT_NE(split.out.find("2 BIN files assembled"), std::string::npos) << split.out;
    EXPECT_NE(split.out.find("COMPLETE"), std::string::npos) << split.out;
    EXPECT_NE(split.out.find("verified"), std::string::npos) << split.out;
}

TEST_F(ToolTest, InjectedWriteFailureReportsTheSenseInTextAndJson) {
    WriteFile(Path("disc.iso"), RandomBytes(2000 * 2048, 6));
    const std::string fault = "write-block=1000:sense=3/0C/00";
    ToolRun text =
        Tool({"--disc-dir", Path("discs"), "--inject-fault", fault, "record", Path("disc.iso")});
    EXPECT_EQ(text.exitCode, 1) << text.out << text.err;
    EXPECT_NE(text.out.find("Recorder 0: WRITE_FAILED"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("3/0C/00 MEDIUM ERROR, WRITE ERROR"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("failed CDB 2A 00"), std::string::npos) << text.out;

    ToolRun json = Tool({"--disc-dir", Path("discs"), "--inject-fault", fault, "--json", "record",
                         Path("disc.iso")});
    EXPECT_EQ(json.exitCode, 1) << json.out << json.err;
    EXPECT_NE(json.out.find("\"outcome\":\"WRITE_FAILED\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"text\":\"3/0C/00\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"exitCode\":1"), std::string::npos) << json.out;
    /* The failed command covers block 1000. */
    size_t at = json.out.find("\"failedCdb\":\"2A");
    ASSERT_NE(at, std::string::npos) << json.out;
    std::string cdb = json.out.substr(at + 13, 20);
    unsigned long lba = strtoul(cdb.substr(4, 8).c_str(), nullptr, 16);
    unsigned long count = strtoul(cdb.substr(14, 4).c_str(), nullptr, 16);
    EXPECT_LE(lba, 1000u) << cdb;
    EXPECT_GT(lba + count, 1000u) << cdb;
    EXPECT_NE(json.out.find("\"senseData\":\"70"), std::string::npos) << json.out;

    /* A transport failure (selection time-out) is logged in the system event log. */
    ToolRun srb = Tool({"--disc-dir", Path("discs"), "--inject-fault", "write-block=100:srb=0x0A",
                        "--json", "record", Path("disc.iso")});
    EXPECT_EQ(srb.exitCode, 1) << srb.out << srb.err;
    EXPECT_NE(srb.out.find("\"outcome\":\"WRITE_FAILED\""), std::string::npos) << srb.out;
    EXPECT_NE(srb.out.find("\"id\":\"0x802A0004\""), std::string::npos) << srb.out;

    /* Duplication: only the faulty recorder fails, the other completes. */
    ToolRun dup = Tool({"--recorders", "2", "--disc-dir", Path("discs2"), "--inject-fault",
                        "recorder=1:" + fault, "record", Path("disc.iso")});
    EXPECT_EQ(dup.exitCode, 1) << dup.out << dup.err;
    EXPECT_NE(dup.out.find("Recorder 0: COMPLETE"), std::string::npos) << dup.out;
    EXPECT_NE(dup.out.find("Recorder 1: WRITE_FAILED"), std::string::npos) << dup.out;

    /* The data is not on the disc before the recorder has written its buffer: a SYNCHRONIZE
       CACHE refused after the last WRITE fails the recording, which is never COMPLETE. */
    ToolRun clean = Tool(
        {"--disc-dir", Path("discs3"), "--command-log", Path("log"), "record", Path("disc.iso")});
    ASSERT_EQ(clean.exitCode, 0) << clean.out << clean.err;
    std::istringstream log(ReadFile(Path("log")));
    std::string line, sync;
    while (sync.empty() && std::getline(log, line)) {
        std::istringstream f(line);
        std::string recorder, number, opcode;
        f >> recorder >> number >> opcode;
        if (opcode == "35")
            sync = number;
    }
    ASSERT_FALSE(sync.empty()) << ReadFile(Path("log"));
    ToolRun lost = Tool({"--disc-dir", Path("discs4"), "--inject-fault",
                         "command=" + sync + ":sense=3/0C/00", "record", Path("disc.iso")});
    EXPECT_EQ(lost.exitCode, 1) << lost.out << lost.err;
    EXPECT_NE(lost.out.find("Recorder 0: FAILED after the write pass"), std::string::npos)
        << lost.out;
    EXPECT_NE(lost.out.find("SYNCHRONIZE CACHE: 3/0C/00"), std::string::npos) << lost.out;
    EXPECT_EQ(lost.out.find("COMPLETE"), std::string::npos) << lost.out;
}

TEST_F(ToolTest, SigintCancelsEveryRecordingAndExits130) {
    WriteFile(Path("big.iso"), RandomBytes(8 << 20, 7));
    const std::string disc0 = Path("discs/recorder-0.img"), disc1 = Path("discs/recorder-1.img");
    /* Interrupt once both recorders have data on their discs. */
    ToolRun run = Tool({"--recorders", "2", "--speed", "2c", "--drive-buffer", "256k", "--disc-dir",
                        Path("discs"), "record", Path("big.iso")},
                       [&] { return FileSize(disc0) > 0 && FileSize(disc1) > 0; });
    EXPECT_EQ(run.exitCode, 130) << run.out << run.err;
    EXPECT_NE(run.out.find("Recorder 0: ABORTED"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Recorder 1: ABORTED"), std::string::npos) << run.out;
    EXPECT_LT(FileSize(disc0), 8 << 20);
    EXPECT_EQ(run.err.find("left"), std::string::npos) << run.err; /* clean teardown */
}

TEST_F(ToolTest, InputErrorsExitTwoWithOneLineAndStartNothing) {
    WriteFile(Path("bad.cue"), "FILE \"x.bin\" BINARY\n"
                               "  TRACK 01 MODE1/2048\n"
                               "    INDEX 01 00:99:00\n");
    WriteFile(Path("x.bin"), RandomBytes(4096, 8));
    WriteFile(Path("nobin.cue"), "FILE \"gone.bin\" BINARY\nTRACK 01 AUDIO\nINDEX 01 00:00:00\n");
    struct Case {
        std::vector<std::string> args;
        std::string what;
    } cases[] = {
        {{"record", Path("missing.iso")}, "missing.iso"},
        {{"record", dir_}, "is a directory"},
        {{"record", Path("bad.cue")}, "bad.cue:3:"},
        {{"record", Path("nobin.cue")}, "gone.bin"},
        {{"record", Path("x.bin"), Path("x.bin")}, "2 images for 1 recorders"},
        {{"record", Path("x.bin"), "--cache-buffers", "8"}, "--cache-buffers"},
        {{"record", Path("x.bin"), "--request", "ex", "--checksum-only"}, "checksum"},
        {{"record", Path("x.bin"), "--pregap", "2000", "--cache-buffers", "16"}, "ring slots"},
        {{"record", Path("x.bin"), "--checksum-only", "--dummy"}, "nothing to set up"},
        {{"--speed", "warp", "record", Path("x.bin")}, "warp"},
        {{"frobnicate"}, "frobnicate"},
        {{"scsi", "0", "12 00"}, "6 to 16"},
        {{"scsi", "3", "00 00 00 00 00 00"}, "no recorder 3"},
        {{"media", "x"}, "bad recorder \"x\""},
        {{"media", "3"}, "no recorder 3"},
    };
    for (auto &c : cases) {
        std::vector<std::string> args = {"--disc-dir", Path("discs")};
        args.insert(args.end(), c.args.begin(), c.args.end());
        ToolRun run = Tool(args);
        EXPECT_EQ(run.exitCode, 2) << c.what << ": " << run.out << run.err;
        EXPECT_EQ(Lines(run.err), 1) << run.err;
        EXPECT_EQ(run.err.rfind("cdwriter: ", 0), 0u) << run.err;
        EXPECT_NE(run.err.find(c.what), std::string::npos) << run.err;
        EXPECT_TRUE(run.out.empty()) << run.out;
        if (c.args[0] == "record") {
            EXPECT_FALSE(Exists(Path("discs"))) << c.what << ": a recorder was set up";
        }
    }
    ToolRun json = Tool({"--json", "record", Path("missing.iso")});
    EXPECT_EQ(json.exitCode, 2);
    EXPECT_NE(json.out.find("\"error\":\"cannot read image"), std::string::npos) << json.out;
}

TEST_F(ToolTest, ScsiInquiryPrintsTheSimulatedIdentity) {
    ToolRun run =
        Tool({"--disc-dir", Path("discs"), "scsi", "0", "12 00 00 00 24 00", "--read", "36"});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("SCSI Status: GOOD (0x00)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("Received 36 bytes of data:"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("vendor \"CDWSIM\", product \"SIMULATED CD-RW\""), std::string::npos)
        << run.out;

    /* An installed identity, and a command the recorder refuses. */
    WriteFile(Path("install"), "recorder vendor=ACME product=\"BURNER 9000\" revision=2.1\n"
                               "recorder\n");
    run = Tool({"--disc-dir", Path("discs"), "--install", Path("install"), "--json", "scsi", "0",
                "120000002400", "--read", "36"});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("\"vendor\":\"ACME\""), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"product\":\"BURNER 9000\""), std::string::npos) << run.out;
    /* Data out: one block written with WRITE(10) lands on the disc. */
    const std::string block = RandomBytes(2048, 9);
    WriteFile(Path("block"), block);
    run = Tool({"--disc-dir", Path("discs"), "scsi", "0", "2A 00 00 00 00 02 00 00 01 00",
                "--write", Path("block")});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("Sent 2048 bytes"), std::string::npos) << run.out;
    EXPECT_TRUE(ReadFile(Path("discs/recorder-0.img")).substr(2 * 2048) == block);

    run = Tool({"--disc-dir", Path("discs"), "scsi", "0", "FF 00 00 00 00 00"});
    EXPECT_EQ(run.exitCode, 1) << run.out << run.err;
    EXPECT_NE(run.out.find("CHECK CONDITION"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("ILLEGAL REQUEST, ASC/ASCQ 20/00: INVALID COMMAND OPERATION CODE"),
              std::string::npos)
        << run.out;
}

TEST_F(ToolTest, DevicesListsADesktopUnitApart) {
    ToolRun run =
        Tool({"--disc-dir", Path("discs"), "--recorders", "2", "--desktop-units", "1", "devices"});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    size_t recorders = run.out.find("Recorders (2):"),
           desktops = run.out.find("Desktop units (1):");
    ASSERT_NE(recorders, std::string::npos) << run.out;
    ASSERT_NE(desktops, std::string::npos) << run.out;
    size_t korvo = run.out.find("KORVO    DESKTOP UNIT");
    ASSERT_NE(korvo, std::string::npos) << run.out;
    EXPECT_GT(korvo, desktops) << run.out;
    EXPECT_EQ(Count(run.out.substr(0, desktops), "CDWSIM   SIMULATED CD-RW"), 2u) << run.out;
    EXPECT_NE(run.out.find("max 65536 bytes / 17 pages"), std::string::npos) << run.out;

    WriteFile(Path("install"), "recorder address=1:0:4:0\ndesktop\n");
    run = Tool({"--install", Path("install"), "--disc-dir", Path("discs"), "--json", "devices"});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    size_t desk = run.out.find("\"desktopUnits\":[{");
    ASSERT_NE(desk, std::string::npos) << run.out;
    EXPECT_NE(run.out.find("\"kind\":\"desktop unit\"", desk), std::string::npos) << run.out;
    EXPECT_EQ(run.out.find("\"kind\":\"desktop unit\""),
              run.out.find("\"kind\":\"desktop unit\"", desk));
    EXPECT_NE(run.out.find("\"target\":4"), std::string::npos) << run.out;
}

TEST_F(ToolTest, EventLogAndHelp) {
    ToolRun run = Tool({"--disc-dir", Path("discs"), "eventlog"});
    EXPECT_EQ(run.exitCode, 0) << run.out << run.err;
    EXPECT_NE(run.out.find("dump: 0x00000000"), std::string::npos) << run.out;
    run = Tool({"record", "--help"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("Usage: cdwriter [OPTIONS] record IMAGE..."), std::string::npos);
    run = Tool({"--help"});
    EXPECT_EQ(run.exitCode, 0);
    EXPECT_NE(run.out.find("recorder [speed=X]"), std::string::npos) << run.out;
}
