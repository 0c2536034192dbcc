#ifndef MODULE_H
#define MODULE_H

#include <QObject>
#include <QPixmap>
#include <QString>

class QSettings;
class QWidget;

// A hardware module as the engine and the main window see it. Everything that depends on the kind
// of module sits behind this interface; the engine owns exactly one implementation.
class Module : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;
    ~Module() override = default;

    virtual void loadSettings(QSettings* settings) = 0;
    virtual QString name(bool withModification) const = 0;
    virtual int moduleId() const = 0;
    virtual QPixmap icon() const = 0;
    virtual void createGui(QWidget* settingsHost, QWidget* controlsHost, QWidget* reportHost,
                           QWidget* infoHost, QWidget* optionsHost) = 0;
    virtual bool open(QString& crateSerial, quint16 slot) = 0;
    virtual QString serial() const = 0;
    virtual void resetOptions() = 0;
    virtual void applyOptions(QSettings* settings) = 0;
    virtual bool setParameter(QString& name, double value) = 0;
    virtual bool checkParameter(QString& name, double value, QString& errorText) = 0;
    virtual bool isOpened() const = 0;
    virtual bool start(bool suppress) = 0;
    virtual bool isRunning() const = 0;
    virtual bool stop() = 0;
    virtual bool close() = 0;
    virtual const QString* infoValue(QString& key) const = 0;
};

#endif
