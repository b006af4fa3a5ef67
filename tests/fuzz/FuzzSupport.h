// What every fuzz target shares: a Qt application without output, a
// deterministic hash seed, and a scratch folder for targets that read files.
#ifndef FUZZSUPPORT_H
#define FUZZSUPPORT_H

#include <QByteArray>
#include <QCoreApplication>
#include <QDir>
#include <QHashFunctions>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace FuzzSupport {

inline void dropMessage(QtMsgType, const QMessageLogContext &, const QString &) {}

// From LLVMFuzzerInitialize: the application lives as long as the process.
inline void start(int *argc, char ***argv)
{
    qInstallMessageHandler(dropMessage);
    // The same input must take the same path: no per-process hash order.
    QHashSeed::setDeterministicGlobalSeed();
    static std::unique_ptr<QCoreApplication> app(new QCoreApplication(*argc, *argv));
}

// A folder of our own under TMPDIR, removed when the run ends normally.
inline QString scratch()
{
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/trevalo-fuzz-XXXXXX"));
    if (!dir.isValid()) {
        std::fputs("fuzz: no scratch folder\n", stderr);
        std::abort();
    }
    return dir.path();
}

inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), qsizetype(size));
}

// A broken promise of the code under test: reported like a crash.
inline void check(bool holds, const char *what)
{
    if (!holds) {
        std::fprintf(stderr, "fuzz: broken: %s\n", what);
        std::abort();
    }
}

} // namespace FuzzSupport

#endif // FUZZSUPPORT_H
