#pragma once
// zem-mkstream and zem-sim from the build folder, driven through QProcess by the Qt tests.
#include <gtest/gtest.h>

#include <QProcess>
#include <QStringList>

#include <cstdlib>
#include <string>

inline std::string BinaryDir() {
    const char* d = std::getenv("ZEM_BINARY_DIR");
    return d ? d : ".";
}

inline std::string MakeStream(const std::string& path, const QStringList& extra = {}) {
    QProcess p;
    p.start(QString::fromStdString(BinaryDir() + "/tools/zem-mkstream"),
            QStringList{"-q", "-o", QString::fromStdString(path)} + extra);
    EXPECT_TRUE(p.waitForFinished(10000));
    EXPECT_EQ(p.exitCode(), 0) << p.readAllStandardError().toStdString();
    return path;
}

// A module simulator on a fresh pseudo-terminal; the slave path is its first output line.
class Simulator {
public:
    explicit Simulator(const std::string& stream, const QStringList& options = {}) {
        proc_.start(QString::fromStdString(BinaryDir() + "/tools/zem-sim"),
                    options +
                        QStringList{"--quiet", "--timeout", "30", QString::fromStdString(stream)});
        while (!proc_.canReadLine() && proc_.waitForReadyRead(5000)) {
        }
        port_ = proc_.readLine().trimmed().toStdString();
    }
    ~Simulator() {
        if (proc_.state() != QProcess::NotRunning) {
            proc_.kill();
            proc_.waitForFinished(2000);
        }
    }
    const std::string& Port() const { return port_; }
    int Finish() {
        proc_.waitForFinished(10000);
        return proc_.exitCode();
    }

private:
    QProcess proc_;
    std::string port_;
};
