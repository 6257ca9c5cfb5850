#include "calibrationlookup.h"

#include <QDir>
#include <QFileInfo>

#include <algorithm>

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

// Lookup's rule: the file names this sensor (its identification text or its
// by-id name); a file without an identification is never picked.
bool identifies(const BrovaCalibration& c, const SensorIdentity& s)
{
    const std::string id = c.identification();
    return c.kind() == s.kind && !id.empty() &&
           ((!s.identification.empty() && id == s.identification) || (!s.byId.empty() && id == s.byId));
}

// Why a file of the sensor's kind is not its file.
std::string unmatchedLine(const CalibrationFile& file, const SensorIdentity& s)
{
    const std::string id = file.calibration.identification();
    const std::string kind = std::to_string(s.kind);
    if (id.empty())
        return file.path + ": for kind " + kind +
               " without an identification, which lookup never picks (it would fit any sensor of the kind): name it "
               "with --calibration";
    auto shown = [](const std::string& v) { return v.empty() ? std::string("none") : "\"" + v + "\""; };
    return file.path + ": for kind " + kind + " \"" + id + "\", not this sensor (its identification: " +
           shown(s.identification) + "; its port under /dev/serial/by-id: " + shown(s.byId) + ")";
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
    // The library's reader: a regular file, bounded, opened without blocking.
    BrovaCalibration c;
    if (!c.load(path)) {
        error = c.error();
        if (error.empty())
            error = path + ": not a valid calibration file";
        return false;
    }
    out.calibration = c;
    out.path = local(QFileInfo(local(path)).absoluteFilePath());
    out.sha256 = c.sha256();
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
    std::vector<std::string> unmatched;
    for (const std::string& folder : calibrationFolders()) {
        const QDir dir(local(folder));
        if (!dir.exists())
            continue;
        // Every entry named *.json, whatever it is (System: dangling links,
        // FIFOs, devices): what cannot be read is told, not dropped.
        const QStringList names = dir.entryList({QStringLiteral("*.json")},
                                                QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
        // Byte order of the names, whatever the locale.
        std::vector<std::string> sorted;
        for (const QString& n : names)
            sorted.push_back(local(n));
        std::sort(sorted.begin(), sorted.end());
        for (const std::string& name : sorted) {
            const std::string path = folder + "/" + name;
            const QFileInfo info(local(path));
            if (info.isSymLink() && !info.exists()) {
                choice.skipped.push_back(path + ": a symbolic link to " + local(info.symLinkTarget()) +
                                         ", which does not exist");
                continue;
            }
            auto file = std::make_shared<CalibrationFile>();
            std::string error;
            if (!readCalibration(path, *file, error)) {
                choice.skipped.push_back(error);
                continue;
            }
            if (!identifies(file->calibration, sensor)) {
                if (file->calibration.kind() == sensor.kind)
                    unmatched.push_back(unmatchedLine(*file, sensor));
                continue;
            }
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
    choice.unmatched = unmatched;
    return choice;
}

} // namespace brovatools
