#include "AudioServer.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

extern char** environ;

namespace tk {

namespace {
struct ServerState {
    std::mutex mutex;
    bool tried = false;
    bool ok = false;
    std::string why;
    pid_t pid = -1;
    std::string dir;
    std::string address;
    std::string monitor;
    pid_t recorder = -1;
    std::string recordDir;
    std::string recording;
};
ServerState& state() {
    static ServerState s;
    return s;
}

std::string makeTempDir(const char* stem) {
    std::string pattern = QDir::tempPath().toStdString() + "/" + stem + "-XXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back('\0');
    if (!mkdtemp(buf.data())) return std::string();
    return std::string(buf.data());
}

// Runs argv with the given extra environment; stdout to `out` (or /dev/null).
pid_t spawn(const std::vector<std::string>& args, const std::vector<std::string>& env, const std::string& out) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<std::string> envText;
    for (char** e = environ; *e; ++e) envText.emplace_back(*e);
    for (const std::string& e : env) envText.push_back(e);
    std::vector<char*> envp;
    for (const std::string& e : envText) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, out.empty() ? "/dev/null" : out.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int rc = posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    return rc == 0 ? pid : -1;
}

void stopChild(pid_t pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 200; ++i) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

double now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

long long fileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

bool startRecorder(ServerState& s) {
    s.recordDir = makeTempDir("tw-rec");
    s.recording = s.recordDir + "/monitor.raw";
    std::vector<std::string> args = {"parec", "--device=" + s.monitor, "--format=s16le", "--rate=44100",
                                     "--channels=2", "--raw", "--latency-msec=10"};
    if (!s.address.empty()) args.insert(args.begin() + 1, "--server=" + s.address);
    s.recorder = spawn(args, {}, s.recording);
    if (s.recorder <= 0) {
        s.why = "cannot run parec";
        return false;
    }
    for (int i = 0; i < 1000; ++i) {
        if (fileSize(s.recording) > 0) return true;
        if (waitpid(s.recorder, nullptr, WNOHANG) == s.recorder) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stopChild(s.recorder);
    s.recorder = -1;
    s.why = "parec records nothing from " + s.monitor;
    return false;
}

bool serverAnswers(const std::string& address) {
    const std::string server = address.empty() ? "" : " --server=" + address;
    return runCommand("pactl" + server + " info >/dev/null 2>&1") == 0;
}

bool startPrivate(ServerState& s) {
    if (!haveTool("pulseaudio") || !haveTool("pactl")) {
        s.why = "pulseaudio or pactl is not installed";
        return false;
    }
    s.dir = makeTempDir("tw-pulse");
    if (s.dir.empty()) {
        s.why = "cannot make a temporary folder";
        return false;
    }
    const std::string socket = s.dir + "/native";
    std::vector<std::string> args = {"pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1",
                                     "--use-pid-file=no", "--load=module-null-sink sink_name=tw rate=44100",
                                     "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket};
    if (geteuid() == 0) args.insert(args.begin() + 1, "--system=false");
    s.pid = spawn(args, {"PULSE_RUNTIME_PATH=" + s.dir, "HOME=" + s.dir, "XDG_RUNTIME_DIR=" + s.dir,
                         "XDG_CONFIG_HOME=" + s.dir},
                  std::string());
    if (s.pid <= 0) {
        s.why = "cannot run pulseaudio";
        return false;
    }
    s.address = "unix:" + socket;
    for (int i = 0; i < 100; ++i) {
        if (serverAnswers(s.address)) {
            s.monitor = "tw.monitor";
            return true;
        }
        if (waitpid(s.pid, nullptr, WNOHANG) == s.pid) {
            s.pid = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stopChild(s.pid);
    s.pid = -1;
    s.why = "the private pulseaudio server did not answer";
    return false;
}
}  // namespace

bool AudioServer::ensure(std::string* why) {
    ServerState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.tried) {
        s.tried = true;
        if (startPrivate(s)) {
            // Every client of this process (Qt's audio plugin, libpulse) goes there.
            setenv("PULSE_SERVER", s.address.c_str(), 1);
            s.ok = true;
        } else if (serverAnswers(std::string())) {
            s.address.clear();
            s.monitor = "@DEFAULT_MONITOR@";
            s.ok = true;
        } else {
            s.why += "; no other server answers (scripts/start-audio.sh starts one)";
        }
        if (s.ok && !startRecorder(s)) s.ok = false;
    }
    if (why) *why = s.why;
    return s.ok;
}

void AudioServer::shutdown() {
    ServerState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    stopChild(s.recorder);
    s.recorder = -1;
    if (!s.recordDir.empty()) QDir(QString::fromStdString(s.recordDir)).removeRecursively();
    s.recordDir.clear();
    s.recording.clear();
    stopChild(s.pid);
    s.pid = -1;
    if (!s.dir.empty()) QDir(QString::fromStdString(s.dir)).removeRecursively();
    s.dir.clear();
}

std::string AudioServer::address() { return state().address; }
std::string AudioServer::monitor() { return state().monitor; }
std::string AudioServer::recording() { return state().recording; }

// ---------------------------------------------------------------- recorder

MonitorTap::MonitorTap() {
    const std::string file = AudioServer::recording();
    if (file.empty()) return;
    mMark = fileSize(file) / 4 * 4;
    mStart = now();
    mOk = mMark >= 0;
}

Frames MonitorTap::take() {
    Frames out;
    if (!mOk) return out;
    const std::string file = AudioServer::recording();
    // The recording lags the present by parec's latency and its scheduling.
    const double deadline = now() + 5.0;
    const double wanted = (now() - mStart - 0.05) * 44100.0 * 4.0;
    while (double(fileSize(file) - mMark) < wanted && now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    const long long end = fileSize(file) / 4 * 4;
    std::ifstream in(file, std::ios::binary);
    in.seekg(mMark);
    std::vector<char> bytes(size_t(std::max(0LL, end - mMark)));
    in.read(bytes.data(), std::streamsize(bytes.size()));
    bytes.resize(size_t(in.gcount()) / 4 * 4);
    out.reserve(bytes.size() / 4);
    for (size_t i = 0; i + 3 < bytes.size(); i += 4) {
        auto sample = [&](size_t k) {
            return double(int16_t(uint16_t(uint8_t(bytes[k])) | uint16_t(uint16_t(uint8_t(bytes[k + 1])) << 8))) /
                   32768.0;
        };
        out.emplace_back(sample(i), sample(i + 2));
    }
    return out;
}

// ---------------------------------------------------------------- analysis

size_t firstSound(const Frames& f, double threshold) {
    for (size_t i = 0; i < f.size(); ++i)
        if (std::fabs(f[i].l) > threshold || std::fabs(f[i].r) > threshold) return i;
    return SIZE_MAX;
}

size_t lastSound(const Frames& f, double threshold) {
    for (size_t i = f.size(); i-- > 0;)
        if (std::fabs(f[i].l) > threshold || std::fabs(f[i].r) > threshold) return i;
    return SIZE_MAX;
}

long alignByCorrelation(const Frames& recording, const Frames& expected, long guess, long radius, size_t from,
                        size_t span) {
    long best = guess;
    double bestScore = -1e300;
    for (long lag = guess - radius; lag <= guess + radius; ++lag) {
        double score = 0.0;
        bool inside = true;
        for (size_t k = from; k < from + span && k < expected.size(); ++k) {
            const long r = long(k) + lag;
            if (r < 0 || size_t(r) >= recording.size()) {
                inside = false;
                break;
            }
            score += recording[size_t(r)].l * expected[k].l + recording[size_t(r)].r * expected[k].r;
        }
        if (inside && score > bestScore) {
            bestScore = score;
            best = lag;
        }
    }
    return best;
}

double levelDiffDb(const Frames& a, long lag, const Frames& b, size_t from, size_t n) {
    double pa = 0.0, pb = 0.0;
    for (size_t k = from; k < from + n; ++k) {
        const long i = long(k) + lag;
        if (i < 0 || size_t(i) >= a.size() || k >= b.size()) break;
        pa += a[size_t(i)].l * a[size_t(i)].l + a[size_t(i)].r * a[size_t(i)].r;
        pb += b[k].l * b[k].l + b[k].r * b[k].r;
    }
    return 10.0 * std::log10(pa / pb);
}

Frames quantise16(const Frames& f) {
    Frames out;
    out.reserve(f.size());
    auto q = [](double x) {
        const double v = std::trunc(x * 32768.0);
        return std::max(-32768.0, std::min(32767.0, v)) / 32768.0;
    };
    for (const Frame& x : f) out.emplace_back(q(x.l), q(x.r));
    return out;
}

}  // namespace tk
