#ifndef JOURNALTESTUTIL_H
#define JOURNALTESTUTIL_H

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <QTemporaryFile>

#include <quazip.h>
#include <quazipfile.h>
#include <quazipfileinfo.h>

#include <cstdio>
#include <unistd.h>

// What a journal archive holds.
struct ArchiveContents
{
    bool valid = false;
    int entries = 0;
    QString entryName;
    int method = -1;
    QByteArray data;
};

inline ArchiveContents readArchive(const QString& path)
{
    ArchiveContents result;
    QuaZip zip(path);
    zip.setFileNameCodec("IBM866");
    if (!zip.open(QuaZip::mdUnzip))
        return result;
    result.entries = zip.getEntriesCount();
    if (zip.goToFirstFile()) {
        QuaZipFileInfo64 info;
        zip.getCurrentFileInfo(&info);
        result.entryName = info.name;
        result.method = info.method;
        QuaZipFile file(&zip);
        if (file.open(QIODevice::ReadOnly)) {
            result.data = file.readAll();
            file.close();
            result.valid = file.getZipError() == UNZ_OK;
        }
    }
    zip.close();
    return result;
}

// Redirects the process's standard error into a temporary file while it lives.
class StderrCapture
{
public:
    StderrCapture()
    {
        file.open();
        std::fflush(stderr);
        saved = dup(2);
        dup2(file.handle(), 2);
    }
    ~StderrCapture() { restore(); }
    QByteArray take()
    {
        restore();
        file.seek(0);
        return file.readAll();
    }

private:
    void restore()
    {
        if (saved < 0)
            return;
        std::fflush(stderr);
        dup2(saved, 2);
        ::close(saved);
        saved = -1;
    }
    QTemporaryFile file;
    int saved = -1;
};

#endif
