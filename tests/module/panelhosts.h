// The host widgets that the main window and the options dialog give the module for its panels,
// named and arranged as there, with the module's settings in an INI file of the test's own.
#ifndef VEK72_TESTS_PANELHOSTS_H
#define VEK72_TESTS_PANELHOSTS_H

#include <QComboBox>
#include <QDoubleSpinBox>
#include <QFile>
#include <QGroupBox>
#include <QSettings>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QVBoxLayout>
#include <QWidget>

#include <memory>

#include "modulevek72.h"
#include "resources.h"

struct PanelHosts
{
    QWidget window;          // stands for the main window
    QWidget* settings;       // widgetModuleSettings
    QWidget* controls;       // widgetModuleControls
    QWidget* report;         // widgetModuleReport
    QWidget* info;           // widgetModuleInfo
    QWidget dialog;          // stands for the options dialog
    QWidget* options;        // widgetModuleOptions

    PanelHosts()
    {
        auto* layout = new QVBoxLayout(&window);
        settings = new QWidget(&window);
        controls = new QWidget(&window);
        report = new QWidget(&window);
        info = new QWidget(&window);
        settings->setObjectName("widgetModuleSettings");
        controls->setObjectName("widgetModuleControls");
        report->setObjectName("widgetModuleReport");
        info->setObjectName("widgetModuleInfo");
        layout->addWidget(info);
        layout->addWidget(settings);
        layout->addWidget(controls);
        layout->addWidget(report);
        auto* dialogLayout = new QVBoxLayout(&dialog);
        options = new QWidget(&dialog);
        options->setObjectName("widgetModuleOptions");
        dialogLayout->addWidget(options);
    }

    void build(ModuleVek72& module) { module.createGui(settings, controls, report, info, options); }

    template <typename T>
    T* find(const char* name) const
    {
        T* found = window.findChild<T*>(QLatin1String(name));
        return found ? found : dialog.findChild<T*>(QLatin1String(name));
    }
    QSpinBox* spin(const char* name) const { return find<QSpinBox>(name); }
    QDoubleSpinBox* dspin(const char* name) const { return find<QDoubleSpinBox>(name); }
    QComboBox* combo(const char* name) const { return find<QComboBox>(name); }
    QGroupBox* group(const char* name) const { return find<QGroupBox>(name); }
    template <typename T>
    T* channel(const char* prefix, int n) const
    {
        return find<T>(QStringLiteral("%1%2").arg(QLatin1String(prefix)).arg(n).toLatin1().constData());
    }
};

// A settings file in a temporary directory.
struct TestSettings
{
    QTemporaryDir dir;
    std::unique_ptr<QSettings> settings;

    explicit TestSettings(const QByteArray& content = QByteArray())
    {
        const QString path = dir.path() + "/stendix.ini";
        if (!content.isEmpty()) {
            QFile file(path);
            file.open(QIODevice::WriteOnly);
            file.write(content);
        }
        settings.reset(new QSettings(path, QSettings::IniFormat));
    }
    QString path() const { return dir.path() + "/stendix.ini"; }
};

// A module whose settings group says whether custom signals are on, with further keys of the group
// ("AccuracyFreq=6\n") when given.
inline std::unique_ptr<ModuleVek72> makeModule(bool customSignals, const QByteArray& moreKeys = QByteArray())
{
    initStendixResources();
    std::unique_ptr<ModuleVek72> module(new ModuleVek72());
    TestSettings file("[VEK72]\n" + QByteArray(customSignals ? "EnableCustomSignals=true\n" : "") + moreKeys);
    module->loadSettings(file.settings.get());
    return module;
}

#endif
