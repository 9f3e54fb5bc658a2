#include "AudioServer.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <chrono>
#include <memory>
#include <functional>
#include <mutex>
#include <thread>

extern char** environ;

namespace tk {

namespace {
struct ServerState {
    std::mutex mutex;
    bool tried = false, ok = false;
    std::string why, address, monitor, recording;  // recording: raw s16le stereo at 44100 Hz
    pid_t pid = -1, recorder = -1;
    std::unique_ptr<QTemporaryDir> dir;  // the server's runtime files and the recording
};
ServerState& state() {
    static ServerState s;
    return s;
}

bool fail(ServerState& s, const std::string& why) {
    s.why = why;
    return false;
}

// Calls `done` every `ms` milliseconds until it holds, at most `tries` times.
bool pollUntil(int tries, int ms, const std::function<bool()>& done) {
    for (int i = 0; i < tries; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(ms)))
        if (done()) return true;
    return false;
}

// True (and pid reset) once the child has ended.
bool ended(pid_t& pid) {
    if (pid > 0 && waitpid(pid, nullptr, WNOHANG) == pid) pid = -1;
    return pid <= 0;
}

std::vector<char*> pointers(std::vector<std::string>& text) {
    std::vector<char*> p;
    for (std::string& t : text) p.push_back(&t[0]);
    p.push_back(nullptr);
    return p;
}

// Runs args with the environment and `extraEnv`; stdout to `out` (or /dev/null).
pid_t spawn(std::vector<std::string> args, const std::vector<std::string>& extraEnv, const std::string& out) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) env.emplace_back(*e);
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    std::vector<char*> argv = pointers(args), envp = pointers(env);
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

void stopChild(pid_t& pid) {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    if (!pollUntil(200, 10, [&] { return ended(pid); })) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
    }
    pid = -1;
}

double now() { return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count(); }

long long fileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

bool serverAnswers(const std::string& address) {
    return runCommand("pactl" + (address.empty() ? "" : " --server=" + address) + " info >/dev/null 2>&1") == 0;
}

bool startPrivate(ServerState& s) {
    if (!haveTool("pulseaudio") || !haveTool("pactl")) return fail(s, "pulseaudio or pactl is not installed");
    const std::string dir = s.dir->path().toStdString(), socket = dir + "/native";
    std::vector<std::string> args = {"pulseaudio", "--daemonize=no", "-n", "--exit-idle-time=-1",
                                     "--use-pid-file=no", "--load=module-null-sink sink_name=tw rate=44100",
                                     "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket};
    if (geteuid() == 0) args.insert(args.begin() + 1, "--system=false");
    s.pid = spawn(args, {"PULSE_RUNTIME_PATH=" + dir, "HOME=" + dir, "XDG_RUNTIME_DIR=" + dir, "XDG_CONFIG_HOME=" + dir},
                  std::string());
    if (s.pid <= 0) return fail(s, "cannot run pulseaudio");
    s.address = "unix:" + socket;
    s.monitor = "tw.monitor";
    if (pollUntil(100, 50, [&] { return serverAnswers(s.address) || ended(s.pid); }) && s.pid > 0) return true;
    stopChild(s.pid);
    return fail(s, "the private pulseaudio server did not answer");
}

// The monitor of an idle null sink takes a second or two to deliver its first
// bytes: the recorder starts with the server and runs all the time.
bool startRecorder(ServerState& s) {
    s.recording = s.dir->path().toStdString() + "/monitor.raw";
    std::vector<std::string> args = {"parec", "--device=" + s.monitor, "--format=s16le", "--rate=44100",
                                     "--channels=2", "--raw", "--latency-msec=10"};
    if (!s.address.empty()) args.insert(args.begin() + 1, "--server=" + s.address);
    s.recorder = spawn(args, {}, s.recording);
    if (s.recorder <= 0) return fail(s, "cannot run parec");
    if (pollUntil(1000, 5, [&] { return fileSize(s.recording) > 0 || ended(s.recorder); }) && s.recorder > 0) return true;
    stopChild(s.recorder);
    s.recording.clear();
    return fail(s, "parec records nothing from " + s.monitor);
}
}  // namespace

bool AudioServer::ensure(std::string* why) {
    ServerState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (!s.tried) {
        s.tried = true;
        s.dir = std::make_unique<QTemporaryDir>(QDir::tempPath() + "/tw-pulse-XXXXXX");
        if (!s.dir->isValid()) {
            s.why = "cannot make a temporary folder";
        } else if (startPrivate(s)) {
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
        s.ok = s.ok && startRecorder(s);
    }
    if (why) *why = s.why;
    return s.ok;
}

void AudioServer::shutdown() {
    ServerState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    stopChild(s.recorder);
    stopChild(s.pid);
    s.recording.clear();
    s.dir.reset();
}

// ---------------------------------------------------------------- recorder

MonitorTap::MonitorTap() {
    const std::string file = state().recording;
    if (file.empty()) return;
    const long long size = fileSize(file);
    mMark = size / 4 * 4;
    mStart = now();
    mOk = size >= 0;
}

Frames MonitorTap::take() {
    if (!mOk) return {};
    const std::string file = state().recording;
    // The recording lags the present by parec's latency and its scheduling.
    const double wanted = (now() - mStart - 0.05) * 44100.0 * 4.0;
    pollUntil(500, 10, [&] { return double(fileSize(file) - mMark) >= wanted; });
    QFile in(QString::fromStdString(file));
    if (!in.open(QIODevice::ReadOnly) || !in.seek(mMark)) return {};
    const QByteArray bytes = in.read(std::max(0LL, fileSize(file) - mMark));
    return fromPcm16(bytes.constData(), size_t(bytes.size()));
}

// ---------------------------------------------------------------- analysis

size_t firstSound(const Frames& f, double threshold) {
    for (size_t i = 0; i < f.size(); ++i)
        if (f[i].absmax() > threshold) return i;
    return SIZE_MAX;
}

size_t lastSound(const Frames& f, double threshold) {
    for (size_t i = f.size(); i-- > 0;)
        if (f[i].absmax() > threshold) return i;
    return SIZE_MAX;
}

long alignByCorrelation(const Frames& recording, const Frames& expected, long guess, long radius, size_t from,
                        size_t span) {
    long best = guess;
    double bestScore = -1e300;
    for (long lag = guess - radius; lag <= guess + radius; ++lag) {
        const size_t end = std::min(from + span, expected.size());
        if (long(from) + lag < 0 || long(end) + lag > long(recording.size())) continue;  // not wholly inside
        double score = 0.0;
        for (size_t k = from; k < end; ++k)
            score += recording[size_t(long(k) + lag)].l * expected[k].l + recording[size_t(long(k) + lag)].r * expected[k].r;
        if (score > bestScore) bestScore = score, best = lag;
    }
    return best;
}

Frames quantise16(const Frames& f) {
    Frames out = f;
    for (Frame& x : out)
        for (int c : {0, 1}) x[c] = std::max(-32768.0, std::min(32767.0, std::trunc(x[c] * 32768.0))) / 32768.0;
    return out;
}

}  // namespace tk
