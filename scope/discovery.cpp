#include "discovery.h"

#include "brovaports.h"
#include "kinds.h"

namespace brovascope {

namespace {

QString pathOf(const char* portName)
{
    return QString::fromLocal8Bit(brovatools::portPath(portName).c_str());
}

} // namespace

Discovery::Discovery(QObject* parent) : QThread(parent), ports_(std::make_unique<BrovaPorts>(0, 1000000)) {}

Discovery::~Discovery()
{
    stop_ = true;
    wait();
}

void Discovery::watch(const QString& path)
{
    QMutexLocker hold(&lock_);
    toWatch_ << path;
}

void Discovery::run()
{
    while (!stop_) {
        QStringList paths;
        {
            QMutexLocker hold(&lock_);
            paths.swap(toWatch_);
        }
        for (const QString& p : paths)
            ports_->watchPort(p.toLocal8Bit().constData());
        while (ports_->isNewPort(true)) {
            const BPort r = ports_->getNewPort();
            if (r.portName[0])
                emit found(pathOf(r.portName), QString::fromLocal8Bit(r.deviceName), QString::fromLocal8Bit(r.deviceId));
        }
        while (ports_->isLostPort(true)) {
            const BPort r = ports_->getLostPort();
            if (r.portName[0])
                emit lost(pathOf(r.portName));
        }
        for (int i = 0; i < 10 && !stop_; ++i)
            msleep(20);
    }
}

} // namespace brovascope
