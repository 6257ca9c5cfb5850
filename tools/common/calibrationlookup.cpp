#include "calibrationlookup.h"

#include <QByteArray>
#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace brovatools {

namespace {

QString local(const std::string& s)
{
    return QString::fromLocal8Bit(s.c_str());
}

std::string local(const QString& s)
{
    return s.toLocal8Bit().toStdString();
}

// The whole file, or false with the system's reason.
bool readBytes(const std::string& path, QByteArray& bytes, std::string& error)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
        error = path + ": cannot read: " + std::strerror(errno);
        return false;
    }
    char buffer[65536];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, f)) > 0)
        bytes.append(buffer, static_cast<int>(n));
    const bool failed = std::ferror(f);
    const int why = errno;
    std::fclose(f);
    if (failed) {
        error = path + ": cannot read: " + std::strerror(why);
        return false;
    }
    return true;
}

// Lookup's rule: the file names this sensor (its identification text or its
// by-id name); a file without an identification is never picked.
bool identifies(const BrovaCalibration& c, const SensorIdentity& s)
{
    const std::string id = c.identification();
    return c.kind() == s.kind && !id.empty() &&
           ((!s.identification.empty() && id == s.identification) || (!s.byId.empty() && id == s.byId));
}

std::string countsLine(const std::string& why)
{
    return "calibration: none" + (why.empty() ? std::string() : " (" + why + ")") + ": values are counts";
}

} // namespace

SidecarCalibration sidecarCalibration(const CalibrationFile& file, bool forced)
{
    SidecarCalibration c;
    c.path = file.path;
    c.sha256 = file.sha256;
    c.serial = file.calibration.serial();
    c.date = file.calibration.date();
    c.foundByIdentity = file.found;
    c.forced = forced;
    return c;
}

bool readCalibration(const std::string& path, CalibrationFile& out, std::string& error)
{
    QByteArray bytes;
    if (!readBytes(path, bytes, error))
        return false;
    BrovaCalibration c;
    if (!c.loadJson(bytes.toStdString(), path)) {
        error = c.error();
        if (error.empty())
            error = path + ": not a valid calibration file";
        return false;
    }
    out.calibration = c;
    out.path = local(QFileInfo(local(path)).absoluteFilePath());
    out.sha256 = QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex().toStdString();
    out.found = false;
    return true;
}

std::vector<std::string> calibrationFolders()
{
    QString config = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (config.isEmpty() || QDir::isRelativePath(config))
        config = QDir::homePath() + QStringLiteral("/.config");
    return {local(config + QStringLiteral("/brova/calibration")), "/etc/brova/calibration"};
}

std::string byIdName(const std::string& devicePath)
{
    const QString target = QFileInfo(local(devicePath)).canonicalFilePath();
    if (target.isEmpty())
        return {};
    const QDir byId(QStringLiteral("/dev/serial/by-id"));
    for (const QFileInfo& link : byId.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot, QDir::Name))
        if (link.isSymLink() && link.canonicalFilePath() == target)
            return local(link.fileName());
    return {};
}

bool calibratesWhatIsRead(const BrovaCalibration& c, const SensorIdentity& sensor)
{
    if (sensor.sixAxisRead || (sensor.eitherView && c.hasSixAxis()))
        return c.hasSixAxis();
    for (int ch = 0; ch < sensor.channels; ++ch)
        if (c.hasChannel(ch))
            return true;
    return false;
}

std::string calibrationSummary(const CalibrationFile& file)
{
    const std::string serial = file.calibration.serial(), date = file.calibration.date();
    return file.path + " (serial " + (serial.empty() ? "-" : serial) + ", date " + (date.empty() ? "-" : date) + ")";
}

CalibrationChoice chooseCalibration(const std::shared_ptr<const CalibrationFile>& named, bool none, bool force,
                                    const SensorIdentity& sensor)
{
    CalibrationChoice choice;
    if (none) {
        choice.line = countsLine("--no-calibration");
        return choice;
    }
    const std::string what = sensor.sixAxisRead ? std::string("the six-axis sensor")
                                                : sensor.channels > 1 ? std::string("any of its channels")
                                                                      : std::string("its channel");
    if (named) {
        // The library's own rule, with the identification text and then the
        // by-id name; its message says what differs.
        BrovaCalibration c = named->calibration;
        bool fits = c.matches(sensor.kind, sensor.identification);
        std::string why = c.error();
        if (!fits && !sensor.byId.empty() && c.matches(sensor.kind, sensor.byId))
            fits = true;
        if (!fits && !force) {
            // The library's message names the file and the field.
            choice.refused = (why.empty() ? named->path + ": made for another sensor" : why) +
                             " (--force-calibration applies it all the same)";
            return choice;
        }
        if (!calibratesWhatIsRead(named->calibration, sensor)) {
            choice.refused = named->path + ": calibrates nothing of what is read: it has no calibration of " + what +
                             (sensor.sixAxisRead || named->calibration.hasSixAxis() ? " (--six-axis reads a "
                                                                                      "four-channel device as one "
                                                                                      "six-axis sensor)"
                                                                                    : "");
            return choice;
        }
        choice.file = named;
        choice.forced = !fits;
        choice.line = "calibration: " + calibrationSummary(*named) + (fits ? "" : " (forced: made for another sensor)");
        return choice;
    }
    std::string unusable;
    for (const std::string& folder : calibrationFolders()) {
        const QDir dir(local(folder));
        if (!dir.exists())
            continue;
        // Byte order of the names, whatever the locale.
        QStringList names = dir.entryList({QStringLiteral("*.json")}, QDir::Files | QDir::Readable, QDir::NoSort);
        std::vector<std::string> sorted;
        for (const QString& n : names)
            sorted.push_back(local(n));
        std::sort(sorted.begin(), sorted.end());
        for (const std::string& name : sorted) {
            auto file = std::make_shared<CalibrationFile>();
            std::string error;
            if (!readCalibration(folder + "/" + name, *file, error)) {
                choice.skipped.push_back(error);
                continue;
            }
            if (!identifies(file->calibration, sensor))
                continue;
            if (!calibratesWhatIsRead(file->calibration, sensor)) {
                // The sensor's file, for another way of reading it.
                if (unusable.empty())
                    unusable = file->path + " has no calibration of " + what;
                continue;
            }
            file->found = true;
            choice.file = file;
            choice.line = "calibration: " + calibrationSummary(*file);
            return choice;
        }
    }
    choice.line = countsLine(unusable);
    return choice;
}

} // namespace brovatools
