/// \file
/// BrovaCalibration: a sensor's calibration, from counts to newtons and
/// newton-metres.
///
/// A calibration file (JSON, format "brova-calibration", version 1; the schema
/// is docs/calibration.schema.json, the format is described in
/// docs/calibration.md) holds, for one sensor:
///   - its identity: kind code, identification text (or the port's by-id
///     name), a free-text serial and date;
///   - for each three-axis channel it calibrates, a 3 x k matrix C and a bias
///     b over k chosen inputs of the channel's sample (x, y, z, s1 ... s8):
///     force = C s + b;
///   - for a six-axis sensor (native, or a four-channel device read as one), a
///     6 x k matrix and bias over inputs of the six-axis sample (Fx ... Tz, or
///     sensorN.x ... sensorN.s8 of its four sub-samples, N = 1 ... 4; for a
///     four-channel device sensorN is channel N-1): wrench = C s + b, and
///     optionally a tool transform that moves the wrench to another reference
///     point and frame (F' = R^T F, T' = R^T (T - d x F));
///   - force and torque units (converted to N and N*m on load: N, kN, lbf,
///     kgf; N*m, N*mm, lbf*in, lbf*ft, kgf*m), and the unit of the tool
///     translation (m, mm, in);
///   - how it was made (loads, residuals, condition number), kept as it is.
///
/// Order of operations: the library subtracts a channel's zero offset (the
/// tare, in counts) as samples are made; the calibration is applied to those
/// counts afterwards. After a tare the offset already stands for the zero
/// load, so the bias is left out: pass tared = true for a sample of a tared
/// channel (or sensor), false otherwise.
///
/// An object is a value: copy it freely. Its const calls (apply*, the getters)
/// may run on several threads at once; the others, which keep error(), serve
/// one thread at a time. Nothing is thrown and nothing is printed; failures
/// are results, with a message from error().
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "brovaflags.h"
#include "brovapackage.h"
#include "brovapackage6d.h"
#include "brv_global.h"

class BrovaCalibration_private;

/// A sensor's calibration, from counts to newtons and newton-metres: the
/// file's content, its order of operations and its threads are described
/// with brovacalibration.h.
///
/// A value: copy it freely. The const calls may run on several threads at
/// once; the others, which keep error(), serve one thread at a time.
class BRV_EXPORT BrovaCalibration {
public:
    /// An empty calibration: isValid() is false and every apply fails.
    BrovaCalibration();
    ~BrovaCalibration();  ///< Frees what it holds.
    BrovaCalibration(const BrovaCalibration& other);             ///< A copy of other's calibration.
    BrovaCalibration& operator=(const BrovaCalibration& other);  ///< Takes a copy of other's calibration.

    /// Reads and validates a file. On success true, and this object holds it.
    /// On failure false, this object is left as it was, and error() says what
    /// is wrong, naming the file and the field (for example
    /// "cal.json: channels[0].matrix: 3 rows of 4 numbers expected").
    /// Only a regular file (or a link to one) of at most 16 MiB is read: a
    /// FIFO, a device, a directory or a larger file is refused at once, without
    /// waiting for data (the file is opened without blocking and its type
    /// checked before anything is read).
    bool load(const std::string& path);
    /// The same from JSON text; name stands for the file in messages.
    bool loadJson(const std::string& text, const std::string& name);
    /// Writes the calibration as a file of the current format (units N and
    /// N*m, translation in m). False, with error() set, when it cannot be
    /// written or nothing valid is held.
    bool save(const std::string& path);
    /// The same text save writes; empty when nothing valid is held.
    std::string toJson() const;
    /// The last failure's message (empty after a success). The text is a copy
    /// owned by the caller.
    std::string error() const;
    /// The SHA-256 of the bytes the last successful load (or loadJson) read,
    /// as 64 lowercase hexadecimal digits: what a tool records of the file it
    /// applied. Empty for a calibration built or changed in code (the set
    /// calls). A copy owned by the caller.
    std::string sha256() const;

    /// True when it holds an identity, at least one channel or the six-axis
    /// part, a tool only with the six-axis part, and a six-axis part that fits
    /// the kind (what load checks as a whole).
    bool isValid() const;
    int kind() const;  ///< The kind code it is for; 0 when no identity is held
    /// The identification text (or port by-id name) it is for; empty for any
    /// device of its kind. A copy owned by the caller.
    std::string identification() const;
    std::string serial() const;  ///< The free-text serial number (a copy).
    std::string date() const;    ///< The free-text date (a copy).
    /// Whether the file is for a device of this kind and identification (an
    /// empty identification in the file, or given here, matches any). False,
    /// with error() saying why, when it is not.
    bool matches(int kind, const std::string& identification);

    /// \name What it calibrates
    ///@{
    bool hasChannel(int channel) const;  ///< True when it calibrates three-axis channel channel.
    bool hasSixAxis() const;             ///< True when it has a six-axis part.
    bool hasTool() const;                ///< True when it has a tool transform.
    ///@}

    /// \name Applying
    /// Applying. false (out untouched) when this object does not calibrate
    /// that channel (or a six-axis sensor). tared: the sample's channel (or
    /// sensor) is tared, so the bias is left out.
    ///@{

    /// One three-axis sample of channel c: force in N.
    bool applyForce(const BrovaPackage& sample, int channel, bool tared, double (&force)[3]) const;
    /// One six-axis sample: Fx, Fy, Fz in N, Tx, Ty, Tz in N*m (the tool
    /// transform applied when the file has one).
    bool applyWrench(const BrovaPackage6D& sample, bool tared, double (&wrench)[6]) const;
    /// One instant of a four-channel device read as one six-axis sensor, from
    /// its four channels' samples.
    bool applyWrench(const BrovaPackage& c0, const BrovaPackage& c1, const BrovaPackage& c2, const BrovaPackage& c3,
                     bool tared, double (&wrench)[6]) const;
    ///@}

    /// \name Building one
    /// Building one (brova calibrate), and reading it back. The input names
    /// are as above; rows is 3 (a channel) or 6 (six-axis); matrix holds rows
    /// x inputs.size() numbers, row by row, in N (and N*m) per count. False,
    /// with error() set, on a bad name, shape or value.
    ///@{

    /// The identity: kind code, identification text (empty: any device of
    /// the kind), free-text serial and date.
    bool setIdentity(int kind, const std::string& identification, const std::string& serial, const std::string& date);
    /// Channel channel's matrix (3 rows) and bias (3 numbers) over inputs.
    bool setChannel(int channel, const std::vector<std::string>& inputs, const std::vector<double>& matrix,
                    const std::vector<double>& bias);
    /// The six-axis part: matrix (6 rows) and bias (6 numbers) over inputs.
    bool setSixAxis(const std::vector<std::string>& inputs, const std::vector<double>& matrix,
                    const std::vector<double>& bias);
    /// Tool transform: translation in m, rotation as a 3 x 3 matrix row by row
    /// (columns: the tool's axes in the sensor's frame; must be a rotation).
    bool setTool(const double (&translation)[3], const double (&rotation)[9]);
    /// The tool transform held (translation in m, rotation row by row); false,
    /// arguments untouched, when there is none.
    bool tool(double (&translation)[3], double (&rotation)[9]) const;
    /// How it was made: a JSON object kept and written as it is (loads,
    /// readings, residuals, condition number ...). False when not an object;
    /// an empty text removes it.
    bool setProvenance(const std::string& json);
    /// The provenance as compact JSON text, empty when there is none.
    std::string provenance() const;
    std::vector<std::string> inputs(int channel) const;  ///< The input names of a channel's matrix; channel -1: six-axis
    std::vector<double> matrix(int channel) const;      ///< Its matrix, row by row (channel -1: six-axis)
    std::vector<double> bias(int channel) const;        ///< Its bias (channel -1: six-axis)
    ///@}

    /// How far a calibrated value may exceed its output's rated range before
    /// it is flagged over range: 0.02, i.e. |value| > 1.02 x range. A rated
    /// range is the full scale the sensor is specified for, and a reading at
    /// full scale may show up to about 2 % more (a calibration's accuracy is
    /// of the order of 1 % of full scale, plus a sample's noise); beyond that
    /// the number is no longer one the sensor vouches for.
    static constexpr double rangeMargin = 0.02;

    /// The rated ranges of channel's outputs (channel -1: the six-axis part),
    /// as a file's optional "range" gives them and load converts them: x, y,
    /// z in N for a channel; Fx, Fy, Fz in N and Tx, Ty, Tz in N*m for the
    /// six-axis part, on the sensor's own axes (before any tool transform).
    /// @return a copy owned by the caller: 3 or 6 positive numbers, or empty
    ///         when the file gives no range for it (or does not calibrate it).
    std::vector<double> range(int channel) const;
    /// Sets (or, with an empty list, removes) the rated ranges of a channel
    /// the object calibrates (channel -1: the six-axis part), in N and N*m,
    /// one per output; save writes them as "range". setChannel and
    /// setSixAxis replace a part whole, its range included: set the range
    /// after them.
    /// @return false, nothing changed and error() saying which value is wrong
    ///         (for example "calibration: channel 0: range[1]: -5 N: a rated
    ///         range is a positive load ..."), for a part not calibrated, a
    ///         list of another length than the part's outputs, or a value
    ///         that is not finite, not positive or beyond 1e9.
    bool setRange(int channel, const std::vector<double>& range);

    /// applyForce, and the over-range check: for each output r of the
    /// channel whose |force[r]| exceeds range[r] x (1 + rangeMargin), the
    /// bits BROVA_FLAG_OVER_RANGE and BROVA_FLAG_AXIS_OVER_RANGE << r are
    /// set in flags (brovaflags.h); no bit is ever cleared, so the word a
    /// read handed out (BrovaDAQ::getFlags) can be passed in as it is. The
    /// check is on the value as computed (a tared sample's from its tare).
    /// Without a range for the channel, flags is left as it was.
    /// @return as applyForce: false, force and flags untouched, when the
    ///         channel is not calibrated.
    bool applyForce(const BrovaPackage& sample, int channel, bool tared, double (&force)[3], uint32_t& flags) const;
    /// applyWrench of a six-axis sample, and the over-range check as for
    /// applyForce, outputs 0 ... 5 being Fx ... Tz. The ranges are the
    /// sensor's: the check is on the wrench in the sensor's own frame and
    /// point, before the tool transform (a tool transform moves the wrench,
    /// not the load on the sensor); wrench is returned transformed as ever.
    /// @return as applyWrench: false, wrench and flags untouched, without a
    ///         six-axis part.
    bool applyWrench(const BrovaPackage6D& sample, bool tared, double (&wrench)[6], uint32_t& flags) const;
    /// The same for one instant of a four-channel device read as one
    /// six-axis sensor.
    bool applyWrench(const BrovaPackage& c0, const BrovaPackage& c1, const BrovaPackage& c2, const BrovaPackage& c3,
                     bool tared, double (&wrench)[6], uint32_t& flags) const;

private:
    BrovaCalibration_private* d;
};
