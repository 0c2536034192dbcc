#include "setupfile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>

#include <cmath>

#include "panelsetup.h"
#include "version.h"
#include "waveformfile.h"

namespace setupfile {

namespace {

const QString keyFormat = QStringLiteral("format");
const QString keyProgram = QStringLiteral("program");
const QString keyChannels = QStringLiteral("channels");
const QString keyChannel = QStringLiteral("channel");
const QString keyCustom = QStringLiteral("custom");
const QString keyWaveform = QStringLiteral("waveform");
const QString keyFile = QStringLiteral("file");
const QString keyPoints = QStringLiteral("points");

Result refused(const QString& error)
{
    Result result;
    result.error = error;
    return result;
}

// The entry of a channel in messages: its number when it has a usable one.
QString channelEntry(const QJsonObject& channel, int index)
{
    const double n = channel.value(keyChannel).toDouble(0);
    return n >= 1 && n <= 8 && n == std::floor(n) ? QStringLiteral("канал %1").arg(int(n))
                                                   : QStringLiteral("канал в позиции %1").arg(index + 1);
}

// The waveform of a channel's custom signal, from its file form; null with `error` when it is bad.
WaveformPointer readWaveform(const QJsonValue& value, const QString& entry, QString* error)
{
    const QString where = entry + QStringLiteral(", \"custom\", \"waveform\": ");
    if (!value.isObject()) {
        *error = where + QStringLiteral("ожидается объект с \"file\" и \"points\"");
        return {};
    }
    const QJsonObject object = value.toObject();
    if (object.contains(keyFile) && !object.value(keyFile).isString()) {
        *error = where + QStringLiteral("\"file\": ожидается текст");
        return {};
    }
    if (!object.value(keyPoints).isArray()) {
        *error = where + QStringLiteral("\"points\": ожидается список чисел");
        return {};
    }
    const QJsonArray points = object.value(keyPoints).toArray();
    QVector<double> values;
    values.reserve(points.size());
    for (int i = 0; i < points.size(); ++i) {
        if (!points.at(i).isDouble()) {
            *error = where + QStringLiteral("\"points\", точка %1: ожидается число").arg(i + 1);
            return {};
        }
        values.append(points.at(i).toDouble());
    }
    const waveformfile::Result made = waveformfile::fromValues(values, object.value(keyFile).toString());
    if (!made.ok())
        *error = where + made.message;
    return made.waveform;
}

} // namespace

QString suffix()
{
    return QStringLiteral("vek72");
}

Result parse(const QByteArray& bytes)
{
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return refused(QStringLiteral("это не настройка: ошибка JSON в позиции %1 (%2)")
                           .arg(parseError.offset).arg(parseError.errorString()));
    if (!document.isObject())
        return refused(QStringLiteral("это не настройка: ожидается объект JSON"));
    QJsonObject root = document.object();

    if (!root.contains(keyFormat))
        return refused(QStringLiteral("это не настройка: нет версии формата (\"format\")"));
    const double format = root.value(keyFormat).toDouble(-1);
    if (!root.value(keyFormat).isDouble() || format < 1 || format != std::floor(format))
        return refused(QStringLiteral("\"format\": ожидается целое число от 1"));
    if (format > formatVersion)
        return refused(QStringLiteral("файл записан в формате версии %1 более новой программой (%2), "
                                      "эта программа читает формат до версии %3")
                           .arg(format).arg(root.value(keyProgram).toString(QStringLiteral("?"))).arg(formatVersion));
    root.remove(keyFormat);
    root.remove(keyProgram);

    // The waveforms leave the JSON before it becomes a map (their points would become a list of
    // variants) and come back into the map as waveforms.
    QVector<QPair<int, WaveformPointer>> waveforms;   // index in "channels"
    QJsonArray channels = root.value(keyChannels).toArray();
    for (int i = 0; i < channels.size(); ++i) {
        QJsonObject channel = channels.at(i).toObject();
        QJsonObject custom = channel.value(keyCustom).toObject();
        if (!custom.contains(keyWaveform))
            continue;
        QString error;
        const WaveformPointer waveform = readWaveform(custom.value(keyWaveform), channelEntry(channel, i), &error);
        if (!waveform)
            return refused(error);
        waveforms.append({ i, waveform });
        custom.remove(keyWaveform);
        channel.insert(keyCustom, custom);
        channels.replace(i, channel);
    }
    if (!waveforms.isEmpty())
        root.insert(keyChannels, channels);

    QVariantMap map = root.toVariantMap();
    if (!waveforms.isEmpty()) {
        QVariantList list = map.value(keyChannels).toList();
        for (const auto& entry : waveforms) {
            QVariantMap channel = list.at(entry.first).toMap();
            QVariantMap custom = channel.value(keyCustom).toMap();
            custom.insert(keyWaveform, QVariant::fromValue(entry.second));
            channel.insert(keyCustom, custom);
            list.replace(entry.first, channel);
        }
        map.insert(keyChannels, list);
    }

    setups::PanelSetup checked;
    QString error;
    if (!setups::fromVariant(map, &checked, &error))
        return refused(error);
    Result result;
    result.setup = setups::toVariant(checked);
    return result;
}

Result read(const QString& path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return refused(QStringLiteral("файл не читается (%1)").arg(file.errorString()));
    if (file.size() > maxFileBytes)
        return refused(QStringLiteral("файл больше %1 МиБ: это не настройка").arg(maxFileBytes / (1024 * 1024)));
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return refused(QStringLiteral("файл не читается (%1)").arg(file.errorString()));
    return parse(bytes);
}

QByteArray serialise(const QVariantMap& setup, QString* error)
{
    setups::PanelSetup checked;
    if (!setups::fromVariant(setup, &checked, error))
        return QByteArray();
    // The waveforms go into the file as their points; the rest as it is.
    QVariantMap map = setups::toVariant(checked);
    QVariantList list = map.value(keyChannels).toList();
    for (QVariant& entry : list) {
        QVariantMap channel = entry.toMap();
        QVariantMap custom = channel.value(keyCustom).toMap();
        custom.remove(keyWaveform);
        if (channel.contains(keyCustom))
            channel.insert(keyCustom, custom);
        entry = channel;
    }
    map.insert(keyChannels, list);
    QJsonObject root = QJsonObject::fromVariantMap(map);
    QJsonArray channels = root.value(keyChannels).toArray();
    // Each waveform's points are written on one line (an indented list would take a line, and
    // some 25 bytes of indentation, per point): a marker stands in for them until the text is made.
    QVector<QPair<QByteArray, QByteArray>> pointLists;   // marker as written, the compact list
    for (int i = 0; i < checked.channels.size(); ++i) {
        const WaveformPointer& waveform = checked.channels.at(i).custom.waveform;
        if (!checked.channels.at(i).hasCustom || !waveform)
            continue;
        // The values as the file held them: the points times the peak they were normalised by (which
        // gives every value back), so that the minimum and maximum shown are those of the file.
        // A product may differ from the value read in its last bit; normalised again when the file
        // is read, it gives the very point back (the setup tests check it).
        QJsonArray points;
        const double peak = waveform->peak();
        for (double point : waveform->points())
            points.append(point * peak);
        const QString marker = QChar(1) + QStringLiteral("points%1").arg(i);
        pointLists.append({ "\"" + keyPoints.toUtf8() + "\": \"\\u0001points" + QByteArray::number(i) + "\"",
                            "\"" + keyPoints.toUtf8() + "\": " + QJsonDocument(points).toJson(QJsonDocument::Compact) });
        QJsonObject channel = channels.at(i).toObject();
        QJsonObject custom = channel.value(keyCustom).toObject();
        custom.insert(keyWaveform, QJsonObject{ { keyFile, waveform->fileName() }, { keyPoints, marker } });
        channel.insert(keyCustom, custom);
        channels.replace(i, channel);
    }
    root.insert(keyChannels, channels);
    root.insert(keyFormat, formatVersion);
    root.insert(keyProgram, QStringLiteral(STENDIX_VERSION));
    QByteArray text = QJsonDocument(root).toJson(QJsonDocument::Indented);
    for (const auto& list : pointLists) {
        const int at = text.indexOf(list.first);
        if (at < 0) {
            *error = QStringLiteral("точки формы не записались");
            return QByteArray();
        }
        text.replace(at, list.first.size(), list.second);
    }
    return text;
}

bool write(const QString& path, const QVariantMap& setup, QString* error)
{
    const QByteArray bytes = serialise(setup, error);
    if (bytes.isEmpty())
        return false;
    const QFileInfo info(path);
    if (!QDir().mkpath(info.absolutePath())) {
        *error = QStringLiteral("не удалось создать папку %1").arg(QDir::toNativeSeparators(info.absolutePath()));
        return false;
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *error = QStringLiteral("файл не записан (%1)").arg(file.errorString());
        return false;
    }
    return true;
}

} // namespace setupfile
