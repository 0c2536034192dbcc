// Streaming at the highest word rate against a vekd of its own, fed the way the program's sender
// feeds it: one block sent before the start, then half a block every half block period.
//
//   bench_vekstream [--seconds N] [--block-ms M] [--vekd PATH]
//
// Eight channels at 192 kHz (24000 frames/s, 192000 words/s). Reports the CPU time of vekd and of
// the sending side over the run, the underruns the module counted, the round-trip times of
// VEK72_Send, and the round trip of the largest single transfers (4194304 words in cyclic mode,
// 2097152 words into the streaming FIFO).
#include "client.h"
#include "vek72api.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>
#include <vector>

using Clock = std::chrono::steady_clock;

namespace {

double cpuSecondsOf(qint64 pid)
{
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(f, line);
    size_t close = line.rfind(')');
    if (close == std::string::npos) return -1;
    std::istringstream rest(line.substr(close + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
        if (i == 14) utime = std::stoul(field);
        if (i == 15) stime = std::stoul(field);
    }
    return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

double cpuSecondsSelf()
{
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return double(u.ru_utime.tv_sec + u.ru_stime.tv_sec) + double(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

struct Stats {
    std::vector<double> v;
    void add(double x) { v.push_back(x); }
    double pct(double p)
    {
        if (v.empty()) return 0;
        std::sort(v.begin(), v.end());
        size_t i = std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5));
        return v[i];
    }
};

QJsonObject moduleStatus(const std::string& service)
{
    vekproto::Endpoint ep;
    if (!vekproto::parseEndpoint(service, ep)) return {};
    int fd = vekproto::connectTo(ep, vekproto::deadlineIn(5000), nullptr);
    if (fd < 0) return {};
    std::vector<uint8_t> reply;
    vekproto::Io r = vekproto::exchange(fd, vekproto::OpCtlStatus, 1, {}, nullptr, 0, vekproto::deadlineIn(5000), reply);
    vekproto::closeSocket(fd);
    if (r != vekproto::Io::Ok) return {};
    vekproto::Reader rd(reply.data(), reply.size());
    rd.i32();
    std::string json = rd.str(reply.size());
    return QJsonDocument::fromJson(QByteArray::fromStdString(json))
        .object()["crates"].toArray()[0].toObject()["slots"].toArray()[2].toObject()["module"].toObject();
}

bool configure(TVEK72& h, uint8_t mode)
{
    for (int i = 0; i < 8; ++i) h.config.channel[i] = TVEK72_CHANNEL{1, 0, 0, 0};
    h.config.outputMode = mode;
    h.config.dacEnable = 1;
    VEK72_FillOutFreq(&h.config, 192000, nullptr);
    int rc = VEK72_Configure(&h);
    if (rc) std::fprintf(stderr, "configure: %d\n", rc);
    return rc == 0;
}

} // namespace

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    double seconds = 30;
    int blockMs = 1000;
    QString vekdPath = qEnvironmentVariable("VEKD_PATH", VEKD_DEFAULT_PATH);
    QStringList args = app.arguments();
    for (int i = 1; i + 1 < args.size(); i += 2) {
        if (args[i] == "--seconds") seconds = args[i + 1].toDouble();
        else if (args[i] == "--block-ms") blockMs = args[i + 1].toInt();
        else if (args[i] == "--vekd") vekdPath = args[i + 1];
    }
    if (seconds <= 0 || blockMs < 2) {
        std::fprintf(stderr, "usage: bench_vekstream [--seconds N] [--block-ms M] [--vekd PATH]\n");
        return 2;
    }

    QProcess vekd;
    vekd.setStandardErrorFile(QProcess::nullDevice());
    vekd.start(vekdPath, {"--listen", "127.0.0.1:0", "--parent-pid", QString::number(app.applicationPid())});
    if (!vekd.waitForStarted(5000)) {
        std::fprintf(stderr, "cannot start %s\n", qPrintable(vekdPath));
        return 1;
    }
    while (!vekd.canReadLine() && vekd.waitForReadyRead(5000)) {}
    QByteArray line = vekd.readLine().trimmed();
    if (!line.startsWith("listening ")) {
        std::fprintf(stderr, "vekd did not start\n");
        return 1;
    }
    const std::string service = line.mid(10).toStdString();
    setenv("VEK_SERVICE", service.c_str(), 1);
    const qint64 vekdPid = vekd.processId();

    TVEK72 h;
    VEK72_Init(&h);
    int rc = VEK72_Open(&h, 0x7F000001u, 11111, "4B210736", 3);
    if (rc) {
        std::fprintf(stderr, "open: %d\n", rc);
        return 1;
    }

    // --- the largest single transfers
    Stats cyclicSend, fifoSend;
    std::vector<double> big(VEK72_PAGE_WORDS);
    for (size_t i = 0; i < big.size(); ++i) big[i] = 9.0 * std::sin(double(i) * 0.001);
    std::vector<uint32_t> bigWords(big.size());
    for (int round = 0; round < 5; ++round) {
        if (!configure(h, 0)) return 1;
        VEK72_PrepareDacData(&h, big.data(), VEK72_PAGE_WORDS, 1, bigWords.data(), nullptr);
        auto t0 = Clock::now();
        rc = VEK72_Send(&h, bigWords.data(), VEK72_PAGE_WORDS, 1000);
        cyclicSend.add(ms(Clock::now() - t0));
        if (rc != int(VEK72_PAGE_WORDS)) std::fprintf(stderr, "cyclic send: %d\n", rc);
        if (!configure(h, 1)) return 1;
        t0 = Clock::now();
        rc = VEK72_Send(&h, bigWords.data(), VEK72_PAGE_WORDS / 2, 1000);
        fifoSend.add(ms(Clock::now() - t0));
        if (rc != int(VEK72_PAGE_WORDS / 2)) std::fprintf(stderr, "streaming send: %d\n", rc);
    }

    // --- steady streaming: blocks of blockMs, halves every blockMs / 2
    if (!configure(h, 1)) return 1;
    const double rate = h.state.outputRate;
    const uint32_t frames = uint32_t(std::llround(rate * blockMs / 1000.0));
    const uint32_t transfer = frames * 8;
    const uint32_t half = transfer / 2;
    std::vector<double> block(transfer);
    for (uint32_t f = 0; f < frames; ++f)
        for (int c = 0; c < 8; ++c) block[f * 8 + c] = (c + 1) * std::sin(2 * M_PI * f * 50.0 / h.state.outputRate);
    std::vector<uint32_t> words(transfer);
    VEK72_PrepareDacData(&h, block.data(), transfer, 1, words.data(), nullptr);
    if (VEK72_Send(&h, words.data(), transfer, 1000) != int(transfer)) {
        std::fprintf(stderr, "first block not taken\n");
        return 1;
    }
    QJsonObject before = moduleStatus(service);
    const double vekdCpu0 = cpuSecondsOf(vekdPid);
    const double selfCpu0 = cpuSecondsSelf();
    const auto start = Clock::now();
    rc = VEK72_StreamStart(&h, 0);
    if (rc) {
        std::fprintf(stderr, "stream start: %d\n", rc);
        return 1;
    }
    Stats sendMs;
    double prepareMs = 0;
    int shortSends = 0, ticks = 0;
    const auto tick = std::chrono::milliseconds(blockMs / 2);
    auto next = start + tick;
    while (next - start <= std::chrono::duration<double>(seconds)) {
        std::this_thread::sleep_until(next);
        ++ticks;
        // the half just sent is refilled from the same half of the block
        const uint32_t at = ticks % 2 ? half : 0;
        auto t0 = Clock::now();
        rc = VEK72_Send(&h, words.data() + at, half, 1000);
        sendMs.add(ms(Clock::now() - t0));
        if (rc != int(half)) ++shortSends;
        t0 = Clock::now();
        VEK72_PrepareDacData(&h, block.data() + at, half, 1, words.data() + at, nullptr);
        prepareMs += ms(Clock::now() - t0);
        next += tick;
    }
    const double wall = std::chrono::duration<double>(Clock::now() - start).count();
    const double vekdCpu = cpuSecondsOf(vekdPid) - vekdCpu0;
    const double selfCpu = cpuSecondsSelf() - selfCpu0;
    QJsonObject after = moduleStatus(service);
    VEK72_Stop(&h, 0);
    VEK72_Close(&h);

    QJsonObject c0 = before["counters"].toObject(), c1 = after["counters"].toObject();
    std::printf("streaming 8 channels at 192 kHz: %.0f words/s, blocks of %d ms (%u words), halves of %u words\n",
                rate * 8, blockMs, transfer, half);
    std::printf("run                      %.1f s wall, %d sends\n", wall, ticks);
    std::printf("vekd CPU                 %.3f s (%.2f %% of one core)\n", vekdCpu, 100 * vekdCpu / wall);
    std::printf("sender CPU               %.3f s (%.2f %% of one core; %.3f s in VEK72_PrepareDacData)\n", selfCpu,
                100 * selfCpu / wall, prepareMs / 1000);
    std::printf("frames played            %.0f (expected about %.0f)\n",
                c1["framesPlayed"].toDouble() - c0["framesPlayed"].toDouble(), wall * rate);
    std::printf("underruns                %.0f (%.0f frame periods without data)\n",
                c1["underruns"].toDouble() - c0["underruns"].toDouble(),
                c1["underrunFrames"].toDouble() - c0["underrunFrames"].toDouble());
    std::printf("short sends              %d\n", shortSends);
    std::printf("VEK72_Send round trip    median %.3f ms, p99 %.3f ms, max %.3f ms (%u words)\n", sendMs.pct(0.5),
                sendMs.pct(0.99), sendMs.pct(1.0), half);
    std::printf("largest transfers        cyclic 4194304 words: median %.1f ms, max %.1f ms; "
                "streaming 2097152 words: median %.1f ms, max %.1f ms\n",
                cyclicSend.pct(0.5), cyclicSend.pct(1.0), fifoSend.pct(0.5), fifoSend.pct(1.0));
    vekd.terminate();
    vekd.waitForFinished(3000);
    return 0;
}
