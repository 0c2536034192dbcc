// vekctl: monitor and fault injector of the crate service simulator vekd.
#include "client.h"
#include "vek72api.h"
#include "wire.h"

#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QSaveFile>
#include <QString>
#include <QStringList>
#include <QTextStream>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

using namespace vekproto;

namespace {

// Exit codes.
constexpr int kExitOk = 0;
constexpr int kExitRefused = 1;   // the service answered with an error
constexpr int kExitUsage = 2;     // bad command line
constexpr int kExitNoService = 3; // the service cannot be reached or broke the protocol
constexpr int kExitFile = 4;      // the output file cannot be written
constexpr uint32_t kTimeoutMs = 10000;

const char kUsage[] =
    "Использование: vekctl [--service УЗЕЛ:ПОРТ] КОМАНДА ...\n"
    "  status                                        все крейты, слоты и модули в JSON\n"
    "  capture --crate СЕРИЙНЫЙ --slot N --frames K --out ФАЙЛ.csv\n"
    "                                                последние K выведенных кадров, вольты включённых каналов\n"
    "  fault fail --crate СЕРИЙНЫЙ [--slot N] --function ИМЯ [--count N] [--code C]\n"
    "                                                следующие N вызовов ИМЯ завершатся с кодом C\n"
    "  fault refuse --crate СЕРИЙНЫЙ [--off]         крейт отказывает в VEK_OpenCrate (--off: больше нет)\n"
    "  fault short-send --crate СЕРИЙНЫЙ --slot N --words W [--count N]\n"
    "                                                следующие N передач примут не больше W слов\n"
    "  fault gain --crate СЕРИЙНЫЙ --slot N --channel K --range full|tenth --ppm P\n"
    "                                                выход K в этом диапазоне с погрешностью усиления P млн⁻¹\n"
    "  fault offset --crate СЕРИЙНЫЙ --slot N --channel K --range full|tenth --microvolts U\n"
    "                                                выход K в этом диапазоне со смещением нуля U мкВ\n"
    "  fault keep-playing --crate СЕРИЙНЫЙ --slot N [--off]\n"
    "                                                модуль продолжает вывод, когда клиент его отпускает\n"
    "  fault drop                                    закрыть все соединения клиентов\n"
    "  fault clear                                   забыть все внесённые неисправности\n"
    "  fault hang --target dmm [--off]               мультиметр перестаёт отвечать (--off: отвечает снова)\n"
    "  fault garbage --target dmm [--count N]        следующие N ответов мультиметра — мусор\n"
    "  fault drop --target dmm                       закрыть все соединения с мультиметром\n"
    "  probe --crate СЕРИЙНЫЙ --slot N --channel K   щуп мультиметра на выходе K модуля\n"
    "  probe --crate СЕРИЙНЫЙ --slot N --scanner     каналы коммутатора 101..108 на выходах 1..8 модуля\n"
    "  probe --off                                   вход мультиметра ни к чему не подключён\n"
    "  ping                                          проверить, что служба отвечает\n"
    "Служба по умолчанию — $VEK_SERVICE, иначе 127.0.0.1:11111.\n"
    "Код завершения: 0 — готово; 1 — служба отказала; 2 — ошибка в командной строке; 3 — служба\n"
    "недоступна или ответила не по протоколу; 4 — файл не записан.\n";

int usage(const QString& text)
{
    std::fprintf(stderr, "vekctl: %s\n%s", text.toUtf8().constData(), kUsage);
    return kExitUsage;
}

struct Args {
    QStringList positional;
    QMap<QString, QString> options;
    QStringList flags;
};

// Options with a value, in the form --name VALUE or --name=VALUE; flags without.
bool parseArgs(const QStringList& in, Args& out, QString* error)
{
    static const QStringList valued = {"--service", "--crate", "--slot", "--frames", "--out", "--function",
                                       "--count", "--code", "--words", "--target", "--channel",
                                       "--range", "--ppm", "--microvolts"};
    static const QStringList flags = {"--off", "--scanner", "--help", "-h"};
    for (int i = 0; i < in.size(); ++i) {
        QString a = in[i];
        if (a.startsWith("-")) {
            QString name = a, value;
            int eq = a.indexOf('=');
            if (eq > 0) {
                name = a.left(eq);
                value = a.mid(eq + 1);
            }
            if (flags.contains(name) && eq < 0) {
                out.flags << name;
                continue;
            }
            if (!valued.contains(name)) {
                *error = "неизвестный параметр " + name;
                return false;
            }
            if (eq < 0) {
                if (i + 1 >= in.size()) {
                    *error = "у " + name + " нет значения";
                    return false;
                }
                value = in[++i];
            }
            out.options[name] = value;
        } else {
            out.positional << a;
        }
    }
    return true;
}

class Session {
public:
    explicit Session(const Endpoint& ep) : ep_(ep) {}
    ~Session() { closeSocket(fd_); }

    // Answers the status of the exchange as an exit code; reply holds the payload after the status.
    // An answer longer than maxPayload (and than its opcode allows) breaks the protocol.
    int call(uint16_t opcode, const Writer& w, int* status, std::vector<uint8_t>& reply,
             uint32_t maxPayload = 0xFFFFFFFFu)
    {
        if (fd_ < 0) {
            Io why;
            fd_ = connectTo(ep_, deadlineIn(kTimeoutMs), &why);
            if (fd_ < 0) {
                std::fprintf(stderr, "vekctl: нет связи со службой крейтов %s:%u (%s)\n", ep_.host.c_str(),
                             unsigned(ep_.port), why == Io::Timeout ? "время ожидания истекло" : "в соединении отказано");
                return kExitNoService;
            }
        }
        Io r = exchange(fd_, opcode, ++id_, w.data(), nullptr, 0, deadlineIn(kTimeoutMs), reply, maxPayload);
        if (r != Io::Ok) {
            std::fprintf(stderr, "vekctl: служба крейтов %s:%u %s\n", ep_.host.c_str(), unsigned(ep_.port),
                         r == Io::Timeout ? "не ответила вовремя" : r == Io::Protocol ? "ответила не по протоколу"
                                                                                      : "закрыла соединение");
            return kExitNoService;
        }
        *status = replyStatus(reply);
        reply.erase(reply.begin(), reply.begin() + 4);
        return kExitOk;
    }

private:
    Endpoint ep_;
    int fd_ = -1;
    uint32_t id_ = 0;
};

bool intOption(const Args& a, const QString& name, long long lo, long long hi, long long* out, QString* error, bool required = true)
{
    if (!a.options.contains(name)) {
        if (required) *error = "нужен " + name;
        return !required;
    }
    bool ok = false;
    long long v = a.options.value(name).toLongLong(&ok);
    if (!ok || v < lo || v > hi) {
        *error = QString("%1: нужно число от %2 до %3").arg(name).arg(lo).arg(hi);
        return false;
    }
    *out = v;
    return true;
}

bool doubleOption(const Args& a, const QString& name, double lo, double hi, double* out, QString* error)
{
    if (!a.options.contains(name)) {
        *error = "нужен " + name;
        return false;
    }
    bool ok = false;
    const double v = a.options.value(name).toDouble(&ok);
    if (!ok || !(v >= lo && v <= hi)) {
        *error = QString("%1: нужно число от %2 до %3").arg(name).arg(lo).arg(hi);
        return false;
    }
    *out = v;
    return true;
}

int cmdStatus(Session& s)
{
    Writer w;
    std::vector<uint8_t> reply;
    int status = 0;
    int rc = s.call(OpCtlStatus, w, &status, reply);
    if (rc) return rc;
    Reader r(reply.data(), reply.size());
    std::string json = r.str(maxReplyPayload(OpCtlStatus));
    if (status != 0 || !r.ok()) {
        std::fprintf(stderr, "vekctl: служба отказала в status (%d)\n", status);
        return kExitRefused;
    }
    std::fwrite(json.data(), 1, json.size(), stdout);
    return kExitOk;
}

int cmdCapture(Session& s, const Args& a)
{
    QString error;
    long long slot = 0, frames = 0;
    QString crate = a.options.value("--crate");
    QString out = a.options.value("--out");
    if (crate.isEmpty()) return usage("capture: нужен --crate");
    if (out.isEmpty()) return usage("capture: нужен --out");
    if (!intOption(a, "--slot", 1, 16, &slot, &error) || !intOption(a, "--frames", 1, kMaxCaptureFrames, &frames, &error))
        return usage("capture: " + error);
    Writer w;
    w.str(crate.toStdString());
    w.u16(uint16_t(slot));
    w.u32(uint32_t(frames));
    std::vector<uint8_t> reply;
    int status = 0;
    int rc = s.call(OpCtlCapture, w, &status, reply, captureReplyPayload(uint32_t(frames)));
    if (rc) return rc;
    if (status != 0) {
        std::fprintf(stderr, "vekctl: служба отказала в capture: %s\n",
                     status == VEK72_E_NO_CRATE ? "нет такого крейта" : status == VEK72_E_NO_MODULE ? "в слоте нет VEK72" : "ошибка");
        return kExitRefused;
    }
    Reader r(reply.data(), reply.size());
    uint32_t e = r.u32();
    std::vector<uint8_t> channels(std::min(e, 8u));
    for (uint8_t& ch : channels) ch = r.u8();
    uint32_t got = r.u32();
    if (e > 8 || !r.ok() || r.remaining() != size_t(got) * e * 8) {
        std::fprintf(stderr, "vekctl: ответ на capture не по протоколу\n");
        return kExitNoService;
    }
    QSaveFile f(out);
    if (!f.open(QIODevice::WriteOnly | QIODevice::Text)) {
        std::fprintf(stderr, "vekctl: файл %s не записывается: %s\n", out.toUtf8().constData(), f.errorString().toUtf8().constData());
        return kExitFile;
    }
    QByteArray text;
    for (uint32_t i = 0; i < e; ++i) text += (i ? ",ch" : "ch") + QByteArray::number(channels[i] + 1);
    text += '\n';
    char num[64];
    for (uint32_t k = 0; k < got; ++k) {
        for (uint32_t i = 0; i < e; ++i) {
            std::snprintf(num, sizeof num, i ? ",%.6f" : "%.6f", r.f64());
            text += num;
        }
        text += '\n';
        if (text.size() > (1 << 20)) {
            f.write(text);
            text.clear();
        }
    }
    f.write(text);
    if (!f.commit()) {
        std::fprintf(stderr, "vekctl: файл %s не записывается: %s\n", out.toUtf8().constData(), f.errorString().toUtf8().constData());
        return kExitFile;
    }
    if (got < frames)
        std::fprintf(stderr, "vekctl: служба хранила только %u кадр(ов); они в %s\n", got, out.toUtf8().constData());
    return kExitOk;
}

// Sends a control request of JSON and prints the service's message; a refusal is exit status 1.
int controlRequest(Session& s, uint16_t opcode, const QJsonObject& o, const char* what)
{
    Writer w;
    w.str(QJsonDocument(o).toJson(QJsonDocument::Compact).toStdString());
    std::vector<uint8_t> reply;
    int status = 0;
    int rc = s.call(opcode, w, &status, reply);
    if (rc) return rc;
    Reader r(reply.data(), reply.size());
    std::string message = r.str(kMaxSmallPayload);
    if (status != 0) {
        // The simulator's own words (it names what it refused).
        std::fprintf(stderr, "vekctl: служба отказала в %s: %s\n", what, message.c_str());
        return kExitRefused;
    }
    std::printf("%s\n", message.c_str());
    return kExitOk;
}

int cmdProbe(Session& s, const Args& a)
{
    QJsonObject o;
    QString error;
    long long slot = 0, channel = 0;
    if (a.flags.contains("--off")) {
        o.insert("off", true);
    } else {
        if (!a.options.contains("--crate")) return usage("probe: нужен --crate");
        if (!intOption(a, "--slot", 1, 16, &slot, &error)) return usage("probe: " + error);
        o.insert("crate", a.options.value("--crate"));
        o.insert("slot", double(slot));
        if (a.flags.contains("--scanner")) {
            if (a.options.contains("--channel")) return usage("probe: --channel или --scanner, не оба");
            o.insert("scanner", true);
        } else {
            if (!intOption(a, "--channel", 1, 8, &channel, &error)) return usage("probe: " + error);
            o.insert("channel", double(channel));
        }
    }
    return controlRequest(s, OpCtlProbe, o, "probe");
}

int cmdFault(Session& s, const Args& a)
{
    if (a.positional.size() < 2)
        return usage("fault: нужно действие (fail, refuse, short-send, keep-playing, gain, offset, drop, clear, hang, garbage)");
    QString action = a.positional[1];
    QJsonObject o{{"action", action}};
    if (a.options.contains("--target")) o.insert("target", a.options.value("--target"));
    QString error;
    // Copies an integer option into the request as `key`; false (with error) when it is out of range
    // or missing though required.
    auto number = [&](const QString& option, const char* key, long long lo, long long hi, bool required) {
        long long v = 0;
        if (!intOption(a, option, lo, hi, &v, &error, required)) return false;
        if (a.options.contains(option)) o.insert(key, double(v));
        return true;
    };
    if (a.options.contains("--crate")) o.insert("crate", a.options.value("--crate"));
    if (action == "fail") {
        if (!a.options.contains("--function")) return usage("fault fail: нужен --function");
        o.insert("function", a.options.value("--function"));
        if (!number("--slot", "slot", 1, 16, false) || !number("--count", "count", 0, 1000000, false)
            || !number("--code", "code", -1000000, -1, false))
            return usage(error);
    } else if (action == "refuse") {
        if (!a.options.contains("--crate")) return usage("fault refuse: нужен --crate");
        o.insert("on", !a.flags.contains("--off"));
    } else if (action == "short-send") {
        if (!a.options.contains("--crate")) return usage("fault short-send: нужен --crate");
        if (!number("--slot", "slot", 1, 16, true) || !number("--words", "words", 0, kMaxSendWords, true)
            || !number("--count", "count", 0, 1000000, false))
            return usage(error);
    } else if (action == "keep-playing") {
        if (!a.options.contains("--crate")) return usage("fault keep-playing: нужен --crate");
        if (!number("--slot", "slot", 1, 16, true)) return usage(error);
        o.insert("on", !a.flags.contains("--off"));
    } else if (action == "gain" || action == "offset") {
        const bool gain = action == "gain";
        double value = 0;
        if (!a.options.contains("--crate")) return usage("fault " + action + ": нужен --crate");
        if (!number("--slot", "slot", 1, 16, true) || !number("--channel", "channel", 1, 8, true)
            || !doubleOption(a, gain ? "--ppm" : "--microvolts", gain ? -1e6 : -1e7, gain ? 1e6 : 1e7, &value, &error))
            return usage("fault " + action + ": " + error);
        const QString range = a.options.value("--range");
        if (range != "full" && range != "tenth") return usage("fault " + action + ": --range: full или tenth");
        o.insert("range", range);
        o.insert(gain ? "ppm" : "microvolts", value);
    } else if (action == "hang" || action == "garbage") {
        if (!a.options.contains("--target")) return usage("fault " + action + ": нужен --target dmm");
        if (action == "hang") o.insert("on", !a.flags.contains("--off"));
        else if (!number("--count", "count", 0, 1000000, false)) return usage(error);
    } else if (action != "drop" && action != "clear") {
        return usage("fault: неизвестное действие \"" + action + "\"");
    }
    return controlRequest(s, OpCtlFault, o, "fault");
}

} // namespace

int main(int argc, char** argv)
{
    QStringList in;
    for (int i = 1; i < argc; ++i) in << QString::fromLocal8Bit(argv[i]);
    Args a;
    QString error;
    if (!parseArgs(in, a, &error)) return usage(error);
    if (a.flags.contains("--help") || a.flags.contains("-h")) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (a.positional.isEmpty()) return usage("нужна команда");

    Endpoint ep;
    if (a.options.contains("--service")) {
        if (!parseEndpoint(a.options.value("--service").toStdString(), ep))
            return usage("--service: нужно УЗЕЛ:ПОРТ, а не \"" + a.options.value("--service") + "\"");
    } else if (!serviceEndpoint(0x7F000001u, 11111, ep)) {
        return usage("VEK_SERVICE: нужно УЗЕЛ:ПОРТ, а не \"" + QString::fromLocal8Bit(qgetenv("VEK_SERVICE")) + "\"");
    }
    Session s(ep);
    QString cmd = a.positional[0];
    if (cmd == "status") return cmdStatus(s);
    if (cmd == "capture") return cmdCapture(s, a);
    if (cmd == "fault") return cmdFault(s, a);
    if (cmd == "probe") return cmdProbe(s, a);
    if (cmd == "ping") {
        Writer w;
        std::vector<uint8_t> reply;
        int status = 0;
        int rc = s.call(OpPing, w, &status, reply);
        if (rc) return rc;
        std::printf("the crate service at %s:%u answers\n", ep.host.c_str(), unsigned(ep.port));
        return kExitOk;
    }
    return usage("неизвестная команда \"" + cmd + "\"");
}
