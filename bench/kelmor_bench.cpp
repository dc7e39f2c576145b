// kelmor-bench: measures the port tasks on the stand-in runtime side by side
// with ser2net and socat, on loopback in a network namespace of its own, and
// prints a table plus one "BENCH name=value unit ratio=..." line per figure.
// Every run is bounded in time; each figure is the median of its repetitions.
#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <iterator>
#include <map>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "bench_support.h"
#include "kelmor_side.h"
#include "peers.h"
#include "runtime/packet.h"

namespace kelmor::bench {
namespace {

constexpr double kMega = 1e6;
constexpr uint16_t kFirstPeerPort = 9150;  // peers take ports from here, one per run
constexpr uint16_t kLastPeerPort = 9199;
constexpr uint8_t kTcpPortTask = 31;       // P0
constexpr uint8_t kFilePortTask = 192;     // P5
constexpr size_t kLoginPromptBytes = 17;   // "login: " and "password: "

struct Options {
    int repetitions = 3;
    int window = 8;  // requests a controller program keeps in flight
    std::chrono::milliseconds warmUp{300};
    std::chrono::milliseconds measure{1200};
    std::chrono::milliseconds idle{10000};
    int latencySamples = 120;
    int memoryClients = 64;
    std::vector<size_t> sizes{4096, 64};  // F_WRITE lengths of the output runs
    std::vector<int> clients{1, 8};       // clients of the output runs
    std::set<std::string> only;  // empty: everything
    bool runPeers = true;  // false: Kelmor's runs alone (for a profiler)
    bool privateNetwork = true;
    std::vector<int> cpus;  // empty: wherever the scheduler likes
    std::string host;
    PeerPrograms programs;
};

const Options* options = nullptr;

// CPU microseconds per request of the last run of ours (all of this
// process's threads: port tasks, controller side, clients), for the progress
// lines; NaN after a peer's run.
double runCpuMicros = NAN;

bool Wanted(const std::string& group) { return options->only.empty() || options->only.count(group) > 0; }

uint16_t NextPeerPort() {
    static uint16_t next = kFirstPeerPort;
    const uint16_t port = next;
    next = next == kLastPeerPort ? kFirstPeerPort : static_cast<uint16_t>(next + 1);
    return port;
}

void Note(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Note(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vfprintf(stdout, format, args);
    va_end(args);
    std::fflush(stdout);
}

// ---- output: bytes a controller writes, as the clients receive them ----

// MB/s per client; NaN when the run could not be set up.
double KelmorOutput(size_t chunk, int clients) {
    Session session;
    session.Map("P0", "TCP:");
    session.StartPort(kTcpPortTask);
    const uint16_t port = session.TcpPort(kTcpPortTask, 3s);
    if (port == 0) {
        return NAN;
    }
    Readers readers(port, clients, kLoginAnswers);
    if (!readers.Connected()) {
        return NAN;
    }
    readers.Start();
    if (!session.WaitLogins(clients, 5s) || !readers.WaitEach(kLoginPromptBytes, 3s)) {
        return NAN;
    }
    RequestStream writes(kTcpPortTask, F_WRITE, chunk, options->window);
    writes.Start();
    const double rate = RateOver([&] { return readers.TotalBytes(); }, options->warmUp, options->measure);
    runCpuMicros = lastCpuPerUnit * 1e6 * static_cast<double>(chunk) * clients;
    writes.Stop();
    readers.Stop();
    return rate / clients / kMega;
}

double ProducedRate(int device, uint16_t port, size_t chunk, int clients) {
    runCpuMicros = NAN;
    Readers readers(port, clients, "");
    if (!readers.Connected()) {
        return NAN;
    }
    readers.Start();
    Producer producer(device, chunk);
    producer.Start();
    if (!readers.WaitEach(1, 3s)) {
        return NAN;
    }
    const double rate = RateOver([&] { return readers.TotalBytes(); }, options->warmUp, options->measure);
    producer.Stop();
    readers.Stop();
    return rate / clients / kMega;
}

double Ser2netOutput(const std::string& folder, size_t chunk, int clients) {
    if (!options->runPeers) {
        return NAN;
    }
    const uint16_t port = NextPeerPort();
    Ser2net peer(options->programs, folder, port, clients);
    if (!peer.Problem().empty()) {
        return NAN;
    }
    return ProducedRate(peer.Device(), port, chunk, clients);
}

double SocatOutput(size_t chunk) {
    if (!options->runPeers) {
        return NAN;
    }
    const uint16_t port = NextPeerPort();
    SocatRelay peer(options->programs, port);
    if (!peer.Problem().empty()) {
        return NAN;
    }
    return ProducedRate(peer.Input(), port, chunk, 1);
}

// ---- input: bytes a client sends, as the controller's reads deliver them ----

class Sender {
public:
    explicit Sender(int fd) : fd_(fd) {}
    ~Sender() { Stop(); }
    void Start() {
        thread_ = std::thread([this] {
            std::vector<uint8_t> buffer(64 * 1024);
            for (size_t i = 0; i < buffer.size(); ++i) {
                buffer[i] = static_cast<uint8_t>('a' + i % 26);  // never the escape byte
            }
            while (!stop_.load(std::memory_order_relaxed)) {
                if (send(fd_, buffer.data(), buffer.size(), MSG_DONTWAIT | MSG_NOSIGNAL) < 0 && errno != EAGAIN) {
                    break;
                }
                pollfd writable{fd_, POLLOUT, 0};
                poll(&writable, 1, 20);
            }
        });
    }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }

private:
    int fd_;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

struct LoggedInClient {
    int fd = -1;
    ~LoggedInClient() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

// Connects one client to P0's terminal and logs it in.
uint16_t StartTerminal(Session& session, LoggedInClient& client) {
    session.Map("P0", "TCP:");
    session.StartPort(kTcpPortTask);
    const uint16_t port = session.TcpPort(kTcpPortTask, 3s);
    if (port == 0) {
        return 0;
    }
    client.fd = ConnectLoopback(port, 3s);
    if (client.fd < 0 || send(client.fd, kLoginAnswers, std::strlen(kLoginAnswers), MSG_NOSIGNAL) < 0 ||
        !session.WaitLogins(1, 5s)) {
        return 0;
    }
    return port;
}

// Bytes per second.
double KelmorInput() {
    Session session;
    LoggedInClient client;
    if (StartTerminal(session, client) == 0) {
        return NAN;
    }
    Sender sender(client.fd);
    RequestStream reads(kTcpPortTask, F_READ, 1, 1);
    reads.Start();
    sender.Start();
    const double rate = RateOver([&] { return reads.BytesAnswered(); }, options->warmUp, options->measure);
    runCpuMicros = lastCpuPerUnit * 1e6;
    sender.Stop();
    reads.Stop();
    return rate;
}

// Round trips per second of an empty packet between task 1 and a task that
// answers at once.
double BareRoundTrip() {
    Session session;
    session.StartEcho();
    RequestStream pings(kEchoTask, 0, 0, 1);
    pings.Start();
    const double rate = RateOver([&] { return pings.Answered(); }, options->warmUp, options->measure);
    runCpuMicros = lastCpuPerUnit * 1e6;
    pings.Stop();
    return rate;
}

// ---- latency: one byte at a random moment until the controller holds it ----

struct Latency {
    double p50 = NAN;
    double p99 = NAN;
    double max = NAN;
};

Latency KelmorLatency(uint32_t seed) {
    Session session;
    LoggedInClient client;
    if (StartTerminal(session, client) == 0) {
        return {};
    }
    const int samples = options->latencySamples;
    std::vector<std::atomic<int64_t>> sentAt(static_cast<size_t>(samples));
    std::atomic<int> delivered{0};
    std::atomic<bool> stop{false};
    // The next byte goes a random 1..49 ms after the controller got the
    // last: about two idle waits, so it lands anywhere in the port's cycle.
    std::thread sender([&] {
        std::mt19937 random(seed);
        std::uniform_int_distribution<int> pause(1, 49);
        for (int i = 0; i < samples && !stop; ++i) {
            const auto deadline = Clock::now() + 1s;
            while (delivered.load() < i && Clock::now() < deadline && !stop) {
                std::this_thread::sleep_for(200us);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
            sentAt[static_cast<size_t>(i)].store(Clock::now().time_since_epoch().count());
            const char byte = static_cast<char>('a' + i % 26);
            if (send(client.fd, &byte, 1, MSG_NOSIGNAL) != 1) {
                break;
            }
        }
    });
    std::vector<double> milliseconds;
    Packet* read = Session::MakePacket(F_READ, 1);
    bool queued = read != nullptr && Session::Queue(kTcpPortTask, read);
    const auto deadline = Clock::now() + std::chrono::milliseconds(samples * 100 + 2000);
    while (queued && delivered.load() < samples && Clock::now() < deadline) {
        Packet* answer = Session::Await(100ms);
        if (answer == nullptr) {
            continue;
        }
        const int64_t now = Clock::now().time_since_epoch().count();
        const int index = delivered.load();
        const Clock::duration took(now - sentAt[static_cast<size_t>(index)].load());
        milliseconds.push_back(std::chrono::duration<double, std::milli>(took).count());
        delivered.store(index + 1);
        answer->actual = 0;
        queued = Session::Queue(kTcpPortTask, answer);
    }
    stop = true;
    sender.join();
    if (static_cast<int>(milliseconds.size()) < samples) {
        return {};
    }
    return {Percentile(milliseconds, 0.50), Percentile(milliseconds, 0.99), Percentile(milliseconds, 1.0)};
}

// ---- idle: nine port tasks with nothing to do ----

// This process's CPU time while it idles for length, in percent of one
// core, after half a second to settle.
double IdleCpuPercent(std::chrono::milliseconds length) {
    std::this_thread::sleep_for(500ms);
    const double cpuBefore = ProcessCpuSeconds();
    const auto start = Clock::now();
    std::this_thread::sleep_for(length);
    const double cpu = ProcessCpuSeconds() - cpuBefore;
    return 100.0 * cpu / Seconds(Clock::now() - start);
}

// Percent of one core. With reads, one F_READ is pending on every port, as
// on a controller that listens to all of them; a read pending on the file
// port makes its device open and close the file on every idle pass.
double KelmorIdle(const std::string& folder, bool reads, std::chrono::milliseconds length) {
    Session session;
    for (int digit = 1; digit <= 8; ++digit) {
        const char port[] = {'P', static_cast<char>('0' + digit), '\0'};
        session.Map(port, digit == 5 ? folder + "/idle-p5.txt" : "NUL:");
    }
    for (uint8_t task : kPortTasks) {
        if (task != kTcpPortTask) {
            session.StartPort(task);
        }
    }
    LoggedInClient client;
    if (StartTerminal(session, client) == 0) {
        return NAN;
    }
    for (uint8_t task : kPortTasks) {
        Packet* read = reads ? Session::MakePacket(F_READ, 1) : nullptr;
        if (read != nullptr) {
            Session::Queue(task, read);
        }
    }
    return IdleCpuPercent(length);
}

// Nine tasks that only wait in the kernel, 24 ms at a time, as the port loop
// does: what the idle wait costs by itself. A rate, so half the length does.
double BareIdle() {
    Session session;
    for (uint8_t task = kEchoTask; task < kEchoTask + std::size(kPortTasks); ++task) {
        session.StartEcho(task);
    }
    return IdleCpuPercent(options->idle / 2);
}

// ---- file: 64-byte writes to a file port against open-append-close ----

double KelmorFileWrites(const std::string& path) {
    Session session;
    session.Map("P5", path);
    session.StartPort(kFilePortTask);
    RequestStream writes(kFilePortTask, F_WRITE, 64, options->window);
    writes.Start();
    const double rate = RateOver([&] { return writes.Answered(); }, options->warmUp, options->measure);
    runCpuMicros = lastCpuPerUnit * 1e6;
    writes.Stop();
    return rate;
}

double BareFileWrites(const std::string& path) {
    std::array<uint8_t, 64> record{};
    for (size_t i = 0; i < record.size(); ++i) {
        record[i] = static_cast<uint8_t>('A' + i % 26);
    }
    unlink(path.c_str());
    uint64_t writes = 0;
    const auto warmEnd = Clock::now() + options->warmUp;
    auto start = Clock::now();
    auto end = warmEnd + options->measure;
    bool warm = false;
    double cpuBefore = 0;
    for (auto now = Clock::now(); now < end; now = Clock::now()) {
        if (!warm && now >= warmEnd) {
            warm = true;
            writes = 0;
            start = now;
            cpuBefore = ProcessCpuSeconds();
        }
        const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) {
            return NAN;
        }
        if (write(fd, record.data(), record.size()) != static_cast<ssize_t>(record.size())) {
            close(fd);
            return NAN;
        }
        close(fd);
        ++writes;
    }
    runCpuMicros = writes > 0 ? (ProcessCpuSeconds() - cpuBefore) * 1e6 / static_cast<double>(writes) : NAN;
    return static_cast<double>(writes) / Seconds(Clock::now() - start);
}

// ---- memory: the host with nine tasks and many clients ----

// Peak RSS in MiB of kelmor-host with its nine port tasks and clients on P0.
double HostPeakRss(const std::string& folder, int clients) {
    Child host({options->host, "--map", "P0=TCP:", "--map", "P5=" + folder + "/memory-p5.txt", "--duration", "60"},
               options->programs.logPath, true);
    const std::string line = host.WaitForLine("Ready for connections at", 5s);
    const size_t at = line.rfind(' ');
    if (host.Pid() <= 0 || at == std::string::npos) {
        return NAN;
    }
    const auto port = static_cast<uint16_t>(std::atoi(line.c_str() + at + 1));
    Readers readers(port, clients, kLoginAnswers);
    if (!readers.Connected()) {
        return NAN;
    }
    readers.Start();
    if (!readers.WaitEach(kLoginPromptBytes, 10s)) {
        return NAN;
    }
    std::this_thread::sleep_for(300ms);
    const long kib = PeakRssKib(host.Pid());
    readers.Stop();
    host.Stop();
    return kib > 0 ? kib / 1024.0 : NAN;
}

double Ser2netPeakRss(const std::string& folder, int clients) {
    if (!options->runPeers) {
        return NAN;
    }
    const uint16_t port = NextPeerPort();
    Ser2net peer(options->programs, folder, port, clients);
    if (!peer.Problem().empty()) {
        return NAN;
    }
    Readers readers(port, clients, "");
    if (!readers.Connected()) {
        return NAN;
    }
    readers.Start();
    const char probe[] = "x";
    if (write(peer.Device(), probe, 1) != 1 || !readers.WaitEach(1, 5s)) {
        return NAN;
    }
    std::this_thread::sleep_for(300ms);
    const long kib = PeakRssKib(peer.Pid());
    readers.Stop();
    return kib > 0 ? kib / 1024.0 : NAN;
}

// ---- the report ----

enum class Goal { None, AtLeast, AtMost, Below };

struct Figure {
    std::string name;       // machine-readable
    std::string title;      // for the table
    std::string unit;
    double value = NAN;
    std::string reference;  // what the ratio divides by
    double referenceValue = NAN;
    Goal goal = Goal::None;
    double goalRatio = 0;   // against the ratio
    std::string note;
    double ratio = NAN;     // when not value / referenceValue
};

double Ratio(const Figure& figure) {
    return std::isnan(figure.ratio) ? figure.value / figure.referenceValue : figure.ratio;
}

std::string GoalText(const Figure& figure) {
    char text[32];
    switch (figure.goal) {
        case Goal::AtLeast:
            std::snprintf(text, sizeof text, ">=%.2g", figure.goalRatio);
            return text;
        case Goal::AtMost:
            std::snprintf(text, sizeof text, "<=%.2g", figure.goalRatio);
            return text;
        case Goal::Below:
            std::snprintf(text, sizeof text, "<%.2g", figure.goalRatio);
            return text;
        case Goal::None:
            break;
    }
    return "-";
}

std::string Verdict(const Figure& figure) {
    const double ratio = Ratio(figure);
    if (figure.goal == Goal::None) {
        return "-";
    }
    if (std::isnan(ratio)) {
        return "n/a";
    }
    const bool met = (figure.goal == Goal::AtLeast && ratio >= figure.goalRatio) ||
                     (figure.goal == Goal::AtMost && ratio <= figure.goalRatio) ||
                     (figure.goal == Goal::Below && ratio < figure.goalRatio);
    return met ? "met" : "short";
}

std::string Number(double value);

// " (cpu N us a request)" after a run of ours, else nothing.
std::string CpuNote() {
    if (std::isnan(runCpuMicros)) {
        return "";
    }
    char text[48];
    std::snprintf(text, sizeof text, " (cpu %.1f us/req)", runCpuMicros);
    runCpuMicros = NAN;
    return text;
}

std::string Number(double value) {
    if (std::isnan(value)) {
        return "n/a";
    }
    char text[32];
    const double size = std::fabs(value);
    std::snprintf(text, sizeof text, size >= 1000 ? "%.0f" : size >= 10 ? "%.1f" : size >= 1 ? "%.2f" : "%.3f",
                  value);
    return text;
}

void PrintReport(const std::vector<Figure>& figures) {
    Note("\n%-34s %14s  %-28s %7s %6s %6s\n", "figure (median)", "Kelmor", "reference", "ratio", "goal", "");
    for (const Figure& figure : figures) {
        const std::string value = Number(figure.value) + " " + figure.unit;
        const std::string reference = figure.reference + " " + Number(figure.referenceValue);
        const std::string ratio = Number(Ratio(figure)) + "x";
        Note("%-34s %14s  %-28s %7s %6s %6s\n", figure.title.c_str(), value.c_str(), reference.c_str(), ratio.c_str(),
             GoalText(figure).c_str(), Verdict(figure).c_str());
    }
    for (const Figure& figure : figures) {
        if (!figure.note.empty()) {
            Note("  %s: %s\n", figure.name.c_str(), figure.note.c_str());
        }
    }
    Note("\n");
    for (const Figure& figure : figures) {
        Note("BENCH %s=%s %s ratio=%s ref=%s goal=%s verdict=%s\n", figure.name.c_str(), Number(figure.value).c_str(),
             figure.unit.c_str(), Number(Ratio(figure)).c_str(), Number(figure.referenceValue).c_str(),
             GoalText(figure).c_str(), Verdict(figure).c_str());
    }
}

struct Measure {
    std::string name;
    std::function<double()> run;
};

// Each repetition runs every measure once, one after the other, so ours and
// the peers' see the same background; values[measure][repetition].
struct Runs {
    std::vector<std::vector<double>> values;

    double Median(size_t measure) const {
        std::vector<double> valid;
        for (double value : values[measure]) {
            if (!std::isnan(value)) valid.push_back(value);
        }
        return valid.empty() ? NAN : kelmor::bench::Median(valid);
    }
    // The median of the ratios within each repetition: steadier than the
    // ratio of medians when the machine's background changes between runs.
    double Ratio(size_t measure, size_t reference) const {
        std::vector<double> ratios;
        for (size_t i = 0; i < values[measure].size(); ++i) {
            const double ratio = values[measure][i] / values[reference][i];
            if (!std::isnan(ratio)) ratios.push_back(ratio);
        }
        return ratios.empty() ? NAN : kelmor::bench::Median(ratios);
    }
};

Runs Alternate(const std::vector<Measure>& measures) {
    Runs runs;
    runs.values.resize(measures.size());
    for (int repetition = 0; repetition < options->repetitions; ++repetition) {
        std::string line;
        for (size_t i = 0; i < measures.size(); ++i) {
            const double value = measures[i].run();
            runs.values[i].push_back(value);
            line += (i == 0 ? "" : "   ") + measures[i].name + ": " + Number(value) + CpuNote();
        }
        Note("  run %d: %s\n", repetition + 1, line.c_str());
    }
    return runs;
}

std::vector<Figure> RunAll() {
    std::vector<Figure> figures;
    ScratchFolder scratch;

    if (Wanted("output")) {
        for (const size_t chunk : options->sizes) {
            const std::string size = chunk % 1024 == 0 ? std::to_string(chunk / 1024) + "k" : std::to_string(chunk) + "b";
            const std::string label =
                chunk % 1024 == 0 ? std::to_string(chunk / 1024) + " KiB" : std::to_string(chunk) + " B";
            for (const int clients : options->clients) {
                const std::string what = "output " + label + " x" + std::to_string(clients);
                Note("%s\n", what.c_str());
                std::vector<Measure> measures{
                    {"kelmor", [&] { return KelmorOutput(chunk, clients); }},
                    {"ser2net", [&] { return Ser2netOutput(scratch.Path(), chunk, clients); }}};
                if (clients == 1) {
                    measures.push_back({"socat", [&] { return SocatOutput(chunk); }});
                }
                const Runs runs = Alternate(measures);
                const std::string base = "out_" + size + "_" + std::to_string(clients) + "c";
                const std::string title =
                    "output " + label + ", " + std::to_string(clients) + (clients == 1 ? " client" : " clients");
                figures.push_back({base + "_vs_ser2net", title, "MB/s", runs.Median(0), "ser2net", runs.Median(1),
                                   Goal::AtLeast, 1.0, "", runs.Ratio(0, 1)});
                if (clients == 1) {
                    figures.push_back({base + "_vs_socat", title, "MB/s", runs.Median(0), "socat", runs.Median(2),
                                       Goal::AtLeast, 0.8, "", runs.Ratio(0, 2)});
                }
            }
        }
    }
    if (Wanted("input")) {
        Note("input\n");
        const Runs runs = Alternate({{"kelmor bytes/s", KelmorInput}, {"round trips/s", BareRoundTrip}});
        figures.push_back({"in_bytes_vs_roundtrip", "input, 1 client, 1 read pending", "B/s", runs.Median(0),
                           "round trips/s", runs.Median(1), Goal::AtLeast, 0.8, "one byte per answered F_READ",
                           runs.Ratio(0, 1)});
    }
    if (Wanted("latency")) {
        Note("latency\n");
        std::vector<double> p50;
        std::vector<double> p99;
        std::vector<double> max;
        for (int repetition = 0; repetition < options->repetitions; ++repetition) {
            const Latency latency = KelmorLatency(static_cast<uint32_t>(1234 + repetition));
            Note("  run %d: p50 %s ms, p99 %s ms, max %s ms\n", repetition + 1,
                 Number(latency.p50).c_str(), Number(latency.p99).c_str(), Number(latency.max).c_str());
            if (!std::isnan(latency.p50)) {
                p50.push_back(latency.p50);
                p99.push_back(latency.p99);
                max.push_back(latency.max);
            }
        }
        const double median50 = p50.empty() ? NAN : Median(p50);
        const double median99 = p99.empty() ? NAN : Median(p99);
        figures.push_back({"latency_p50", "input latency p50", "ms", median50, "idle wait", 24.0, Goal::None, 0,
                           ""});
        figures.push_back({"latency_p99", "input latency p99", "ms", median99, "goal", 25.0, Goal::AtMost, 1.0,
                           std::to_string(options->latencySamples) + " bytes a run, 1..49 ms apart"});
    }
    if (Wanted("idle")) {
        Note("idle\n");
        const Runs runs = Alternate({
            {"kelmor %core", [&] { return KelmorIdle(scratch.Path(), true, options->idle); }},
            {"no reads", [&] { return KelmorIdle(scratch.Path(), false, options->idle / 2); }},
            {"bare waits", BareIdle},
        });
        figures.push_back({"idle_cpu", "idle, 9 tasks (1 TCP+client)", "%core", runs.Median(0), "goal", 0.5,
                           Goal::Below, 1.0,
                           "whole process, a read pending on every port, " +
                               std::to_string(options->idle.count() / 1000) + " s a run"});
        figures.push_back({"idle_cpu_vs_bare_wait", "idle, against the bare 24 ms wait", "%core", runs.Median(0),
                           "bare waits", runs.Median(2), Goal::None, 0,
                           "nine tasks that only wait 24 ms at a time in the same kernel", runs.Ratio(0, 2)});
        figures.push_back({"idle_cpu_no_reads", "idle, 9 tasks, no read pending", "%core", runs.Median(1), "goal",
                           0.5, Goal::Below, 1.0, "the same nine ports with no request outstanding"});
    }
    if (Wanted("file")) {
        Note("file\n");
        const Runs runs = Alternate({
            {"kelmor writes/s", [&] { return KelmorFileWrites(scratch.File("file-port.txt")); }},
            {"bare writes/s", [&] { return BareFileWrites(scratch.File("bare-loop.txt")); }},
        });
        figures.push_back({"file_writes_vs_bare", "file port, 64 B writes", "w/s", runs.Median(0),
                           "open-append-close", runs.Median(1), Goal::AtLeast, 0.8, "", runs.Ratio(0, 1)});
    }
    if (Wanted("memory")) {
        Note("memory\n");
        const int clients = options->memoryClients;
        if (options->host.empty()) {
            Note("  kelmor-host not found\n");
        }
        const Runs runs = Alternate({
            {"kelmor-host MiB", [&] { return options->host.empty() ? NAN : HostPeakRss(scratch.Path(), clients); }},
            {"ser2net MiB", [&] { return Ser2netPeakRss(scratch.Path(), clients); }},
        });
        figures.push_back({"mem_peak_rss", "peak RSS, host, " + std::to_string(clients) + " clients", "MiB",
                           runs.Median(0), "ser2net", runs.Median(1), Goal::None, 0,
                           "kelmor-host with 9 tasks; ser2net with one port; both " + std::to_string(clients) +
                               " clients",
                           runs.Ratio(0, 1)});
    }
    return figures;
}

void Usage() {
    std::printf(
        "usage: kelmor-bench [options]\n"
        "  --repetitions N   runs per figure (default 3); the median is reported\n"
        "  --window N        F_WRITE requests kept in flight (default 8)\n"
        "  --measure MS      measuring window of a throughput run (default 1200)\n"
        "  --idle MS         length of an idle run (default 10000)\n"
        "  --samples N       latency samples per run (default 120)\n"
        "  --only LIST       output,input,latency,idle,file,memory (default: all)\n"
        "  --sizes LIST      F_WRITE lengths of the output runs (default 4096,64)\n"
        "  --clients LIST    client counts of the output runs (default 1,8)\n"
        "  --quick           one repetition, short windows: a smoke run\n"
        "  --host PATH       kelmor-host (default: next to kelmor-bench)\n"
        "  --ser2net PATH | --socat PATH   the peers (default: from PATH)\n"
        "  --log FILE        the peers' and the port tasks' own output (default /dev/null)\n"
        "  --cpus LIST       run everything (peers and clients too) on these CPUs, e.g. --cpus 1\n"
        "  --no-peers        Kelmor's runs alone, for a profiler\n"
        "  --shared-network  stay in this network namespace instead of a private one\n");
}

std::vector<std::string> SplitList(const std::string& list) {
    std::vector<std::string> words;
    size_t start = 0;
    while (start <= list.size()) {
        const size_t end = std::min(list.find(',', start), list.size());
        if (end > start) {
            words.push_back(list.substr(start, end - start));
        }
        start = end + 1;
    }
    return words;
}

std::string Folder(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

std::string SelfFolder() {
    char self[4096];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    return length > 0 ? Folder(std::string(self, static_cast<size_t>(length))) : "./";
}

}  // namespace
}  // namespace kelmor::bench

int main(int argc, char** argv) {
    using namespace kelmor::bench;
    Options parsed;
    parsed.host = SelfFolder() + "kelmor-host";
    parsed.programs.ser2net = "ser2net";
    parsed.programs.socat = "socat";
    parsed.programs.logPath = "/dev/null";
    for (int i = 1; i < argc; ++i) {
        const std::string argument = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "%s needs a value\n", argument.c_str());
                std::exit(2);
            }
            return argv[++i];
        };
        if (argument == "--repetitions") {
            parsed.repetitions = std::max(1, std::atoi(value().c_str()));
        } else if (argument == "--window") {
            parsed.window = std::max(1, std::atoi(value().c_str()));
        } else if (argument == "--measure") {
            parsed.measure = std::chrono::milliseconds(std::max(100, std::atoi(value().c_str())));
        } else if (argument == "--idle") {
            parsed.idle = std::chrono::milliseconds(std::max(100, std::atoi(value().c_str())));
        } else if (argument == "--samples") {
            parsed.latencySamples = std::max(10, std::atoi(value().c_str()));
        } else if (argument == "--only") {
            for (const std::string& word : SplitList(value())) {
                parsed.only.insert(word);
            }
        } else if (argument == "--sizes" || argument == "--clients") {
            std::vector<long> numbers;
            for (const std::string& word : SplitList(value())) {
                numbers.push_back(std::clamp(std::atol(word.c_str()), 1L, 65535L));
            }
            if (argument == "--sizes") {
                parsed.sizes.assign(numbers.begin(), numbers.end());
            } else {
                parsed.clients.assign(numbers.begin(), numbers.end());
            }
        } else if (argument == "--quick") {
            parsed.repetitions = 1;
            parsed.warmUp = std::chrono::milliseconds(100);
            parsed.measure = std::chrono::milliseconds(400);
            parsed.idle = std::chrono::milliseconds(2000);
            parsed.latencySamples = 30;
            parsed.memoryClients = 16;
        } else if (argument == "--host") {
            parsed.host = value();
        } else if (argument == "--ser2net") {
            parsed.programs.ser2net = value();
        } else if (argument == "--socat") {
            parsed.programs.socat = value();
        } else if (argument == "--log") {
            parsed.programs.logPath = value();
        } else if (argument == "--cpus") {
            for (const std::string& word : SplitList(value())) {
                parsed.cpus.push_back(std::atoi(word.c_str()));
            }
        } else if (argument == "--no-peers") {
            parsed.runPeers = false;
        } else if (argument == "--shared-network") {
            parsed.privateNetwork = false;
        } else if (argument == "--help" || argument == "-h") {
            Usage();
            return 0;
        } else {
            std::fprintf(stderr, "unknown option %s\n", argument.c_str());
            Usage();
            return 2;
        }
    }
    parsed.host = FindProgram(parsed.host);
    parsed.programs.ser2net = FindProgram(parsed.programs.ser2net);
    parsed.programs.socat = FindProgram(parsed.programs.socat);
    options = &parsed;

    // The port tasks' own lines (the dismount notes) go with the peers' output.
    const int log = open(parsed.programs.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (log >= 0) {
        dup2(log, STDERR_FILENO);
        close(log);
    }
    if (!parsed.cpus.empty()) {
        // Before any thread starts; the peers inherit it.
        cpu_set_t set;
        CPU_ZERO(&set);
        for (int cpu : parsed.cpus) {
            CPU_SET(cpu, &set);
        }
        if (sched_setaffinity(0, sizeof set, &set) != 0) {
            std::printf("cannot pin to the CPUs asked for: %s\n", std::strerror(errno));
            return 1;
        }
    }
    if (parsed.privateNetwork) {
        if (const std::string problem = EnterPrivateNetwork(); !problem.empty()) {
            std::printf("no private network namespace (%s); run as root, or pass --shared-network\n",
                        problem.c_str());
            return 1;
        }
    }
    Note("kelmor-bench: %d repetitions, window %d, %lld ms measured a run, %s, peers: ser2net %s, socat %s\n",
         parsed.repetitions, parsed.window, static_cast<long long>(parsed.measure.count()),
         parsed.cpus.empty() ? "all CPUs" : "pinned CPUs",
         parsed.programs.ser2net.empty() ? "missing" : parsed.programs.ser2net.c_str(),
         parsed.programs.socat.empty() ? "missing" : parsed.programs.socat.c_str());
    const auto start = Clock::now();
    const std::vector<Figure> figures = RunAll();
    PrintReport(figures);
    Note("duration: %.1f s\n", Seconds(Clock::now() - start));
    return 0;
}
