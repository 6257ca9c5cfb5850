// Port discovery for the live view: a BrovaPorts watched from a thread of
// its own, so that the window never waits for a scan (identifying a new port
// takes up to a second), reporting found and lost sensors as signals.
#pragma once

#include <QMutex>
#include <QStringList>
#include <QThread>

#include <atomic>
#include <memory>

class BrovaPorts;

namespace brovascope {

class Discovery : public QThread {
    Q_OBJECT

public:
    explicit Discovery(QObject* parent = nullptr);
    ~Discovery() override;  // stops and joins the thread

    // Also watch path, a port the system does not list (a pseudo-terminal).
    void watch(const QString& path);

signals:
    void found(const QString& port, const QString& kindText, const QString& id);
    void lost(const QString& port);

protected:
    void run() override;

private:
    std::unique_ptr<BrovaPorts> ports_;
    QMutex lock_;
    QStringList toWatch_;
    std::atomic<bool> stop_{false};
};

} // namespace brovascope
