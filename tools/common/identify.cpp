#include "identify.h"

#include <QElapsedTimer>
#include <QSerialPortInfo>
#include <QString>
#include <QThread>

#include <cstdlib>

#include "brovaports.h"
#include "kinds.h"

namespace brovatools {

namespace {

bool isSystemPort(const std::string& path)
{
    const QString p = QString::fromLocal8Bit(path.c_str());
    for (const QSerialPortInfo& info : QSerialPortInfo::availablePorts())
        if (info.systemLocation() == p)
            return true;
    return false;
}

} // namespace

Identity identifyPort(const std::string& path, int timeoutMs, const std::function<bool()>& stop)
{
    // Found ports are taken by value one at a time (not through the table that
    // every discovery object of the process shares).
    BrovaPorts ports(0, 1000000);
    if (!isSystemPort(path))
        ports.watchPort(path.c_str());
    QElapsedTimer waited;
    waited.start();
    while (waited.elapsed() < timeoutMs && !(stop && stop())) {
        while (ports.isNewPort(true)) {
            const BPort found = ports.getNewPort();
            if (portPath(found.portName) == path)
                return Identity{std::atoi(found.deviceName), found.deviceId};
        }
        QThread::msleep(50);
    }
    return {};
}

bool needsIdentification(int kind)
{
    const Kind* k = kindOf(kind);
    return k && k->version >= BROVA_FRAMED_3AXIS;
}

} // namespace brovatools
