#ifndef TESTPACKAGE_H
#define TESTPACKAGE_H

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

// A firmware package folder of the tests' own. The data locations are pointed at a temporary
// tree (XDG_DATA_HOME first, XDG_DATA_DIRS second), so the window finds the package in
// <root>/system/Brenvik/Updater.
class TestPackage
{
public:
    static constexpr qint64 ImageSize = 16777216;

    TestPackage()
    {
        folder = root.path() + QStringLiteral("/system/Brenvik/Updater");
        QDir().mkpath(folder);
        QDir().mkpath(root.path() + QStringLiteral("/home"));
        qputenv("XDG_DATA_HOME", QFile::encodeName(root.path() + QStringLiteral("/home")));
        qputenv("XDG_DATA_DIRS", QFile::encodeName(root.path() + QStringLiteral("/system")));
    }

    bool isValid() const { return root.isValid(); }
    QString path() const { return folder; }
    QString filePath(const QString& name) const { return folder + QLatin1Char('/') + name; }

    bool write(const QString& name, const QByteArray& content) const
    {
        QFile f(filePath(name));
        return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
    }
    // A sparse file of the given size: quick to make even at 16 MiB.
    bool makeImage(const QString& name, qint64 size = ImageSize) const
    {
        QFile f(filePath(name));
        return f.open(QIODevice::WriteOnly) && f.resize(size);
    }

private:
    QTemporaryDir root;
    QString folder;
};

#endif // TESTPACKAGE_H
