#include "ros2types.h"

#include <QByteArray>
#include <QCryptographicHash>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <map>
#include <set>

namespace brovaros2 {

const char kTypeWrenchStamped[] = "geometry_msgs/msg/WrenchStamped";
const char kTypeDiagnosticArray[] = "diagnostic_msgs/msg/DiagnosticArray";
const char kTypeBool[] = "std_msgs/msg/Bool";
const char kTypeCounts[] = "brova_msgs/msg/Counts";

namespace {

Field plain(const char* name, int typeId)
{
    return {name, typeId, {}, 0, 0};
}

Field nested(const char* name, const char* type, int sequence = 0)
{
    return {name, kNested + sequence, type, 0, 0};
}

const TypeDescription* find(const std::vector<TypeDescription>& types, const std::string& name)
{
    for (const TypeDescription& t : types)
        if (t.name == name)
            return &t;
    return nullptr;
}

// Collects the names of the types `type` reaches through its fields; false
// when one is not described.
bool referenced(const TypeDescription& type, const std::vector<TypeDescription>& types, std::set<std::string>& names)
{
    for (const Field& f : type.fields) {
        if (f.nestedType.empty() || names.count(f.nestedType))
            continue;
        const TypeDescription* t = find(types, f.nestedType);
        if (!t)
            return false;
        names.insert(t->name);
        if (!referenced(*t, types, names))
            return false;
    }
    return true;
}

// The names are plain ASCII identifiers: no escaping needed, but a quote or
// backslash would be escaped as JSON would.
std::string quoted(const std::string& s)
{
    std::string out = "\"";
    for (const char c : s) {
        if (c == '"' || c == '\\')
            out += '\\';
        out += c;
    }
    return out + "\"";
}

std::string described(const TypeDescription& t)
{
    std::string s = "{\"type_name\": " + quoted(t.name) + ", \"fields\": [";
    for (size_t i = 0; i < t.fields.size(); ++i) {
        const Field& f = t.fields[i];
        s += std::string(i ? ", " : "") + "{\"name\": " + quoted(f.name) + ", \"type\": {\"type_id\": " +
             std::to_string(f.typeId) + ", \"capacity\": " + std::to_string(f.capacity) +
             ", \"string_capacity\": " + std::to_string(f.stringCapacity) +
             ", \"nested_type_name\": " + quoted(f.nestedType) + "}}";
    }
    return s + "]}";
}

// XCDR1, little endian, alignment counted from after the encapsulation
// header.
class Cdr {
public:
    Cdr() { bytes = {0x00, 0x01, 0x00, 0x00}; }
    void align(size_t n)
    {
        const size_t pad = (n - (bytes.size() - 4) % n) % n;
        if (pad)
            bytes.insert(bytes.end(), pad, 0);
    }
    // Little endian on any host; one append per value.
    template <typename T> void put(T v)
    {
        static_assert(sizeof v == 1 || sizeof v == 4 || sizeof v == 8, "a CDR primitive");
        align(sizeof v);
        uint64_t raw = 0;
        if (sizeof v == 8) {
            std::memcpy(&raw, &v, 8);
        } else if (sizeof v == 4) {
            uint32_t r;
            std::memcpy(&r, &v, 4);
            raw = r;
        } else {
            uint8_t r;
            std::memcpy(&r, &v, 1);
            raw = r;
        }
        uint8_t out[sizeof v];
        for (size_t i = 0; i < sizeof v; ++i)
            out[i] = static_cast<uint8_t>(raw >> (8 * i));
        bytes.insert(bytes.end(), out, out + sizeof v);
    }
    void put(const std::string& s)
    {
        put(static_cast<uint32_t>(s.size() + 1));
        bytes.insert(bytes.end(), s.begin(), s.end());
        bytes.push_back(0);
    }
    void put(const Time& t)
    {
        put(t.sec);
        put(t.nanosec);
    }
    std::vector<uint8_t> bytes;
};

} // namespace

const std::vector<TypeDescription>& knownTypes()
{
    static const std::vector<TypeDescription> types = {
        {"builtin_interfaces/msg/Time", {plain("sec", kInt32), plain("nanosec", kUInt32)}},
        {"std_msgs/msg/Header", {nested("stamp", "builtin_interfaces/msg/Time"), plain("frame_id", kString)}},
        {kTypeBool, {plain("data", kBool)}},
        {"geometry_msgs/msg/Vector3", {plain("x", kFloat64), plain("y", kFloat64), plain("z", kFloat64)}},
        {"geometry_msgs/msg/Wrench",
         {nested("force", "geometry_msgs/msg/Vector3"), nested("torque", "geometry_msgs/msg/Vector3")}},
        {kTypeWrenchStamped, {nested("header", "std_msgs/msg/Header"), nested("wrench", "geometry_msgs/msg/Wrench")}},
        {"diagnostic_msgs/msg/KeyValue", {plain("key", kString), plain("value", kString)}},
        {"diagnostic_msgs/msg/DiagnosticStatus",
         {plain("level", kByte), plain("name", kString), plain("message", kString), plain("hardware_id", kString),
          nested("values", "diagnostic_msgs/msg/KeyValue", kUnboundedSequence)}},
        {kTypeDiagnosticArray,
         {nested("header", "std_msgs/msg/Header"),
          nested("status", "diagnostic_msgs/msg/DiagnosticStatus", kUnboundedSequence)}},
    };
    return types;
}

const std::vector<TypeDescription>& ownTypes()
{
    static const std::vector<TypeDescription> types = {
        {"brova_msgs/msg/ChannelCounts",
         {plain("s1", kInt32), plain("s2", kInt32), plain("s3", kInt32), plain("s4", kInt32), plain("s5", kInt32),
          plain("s6", kInt32), plain("s7", kInt32), plain("s8", kInt32), plain("x", kInt32), plain("y", kInt32),
          plain("z", kInt32), plain("aux", kInt32)}},
        {"brova_msgs/msg/CountsSample",
         {nested("stamp", "builtin_interfaces/msg/Time"), plain("state", kUInt8), plain("config", kUInt8),
          plain("flags", kUInt32), plain("fx", kInt32), plain("fy", kInt32), plain("fz", kInt32), plain("tx", kInt32), plain("ty", kInt32),
          plain("tz", kInt32), nested("channels", "brova_msgs/msg/ChannelCounts", kUnboundedSequence)}},
        {kTypeCounts,
         {nested("header", "std_msgs/msg/Header"), plain("first_sample", kUInt64),
          nested("samples", "brova_msgs/msg/CountsSample", kUnboundedSequence)}},
    };
    return types;
}

namespace {

// The published types and the project's own, for hashes and definitions.
const std::vector<TypeDescription>& everyType()
{
    static const std::vector<TypeDescription> types = [] {
        std::vector<TypeDescription> all = knownTypes();
        all.insert(all.end(), ownTypes().begin(), ownTypes().end());
        return all;
    }();
    return types;
}

// pkg/msg/Type as a .msg file names it: pkg/Type.
std::string msgName(const std::string& type)
{
    const size_t first = type.find('/'), last = type.rfind('/');
    return first == last ? type : type.substr(0, first) + type.substr(last);
}

std::string fieldLines(const TypeDescription& t)
{
    std::string out;
    for (const Field& f : t.fields) {
        const int base = f.typeId % 48;
        std::string type;
        switch (base) {
        case kNested: type = msgName(f.nestedType); break;
        case kUInt8: type = "uint8"; break;
        case kInt32: type = "int32"; break;
        case kUInt32: type = "uint32"; break;
        case kUInt64: type = "uint64"; break;
        case kFloat64: type = "float64"; break;
        case kBool: type = "bool"; break;
        case kByte: type = "byte"; break;
        case kString: type = "string"; break;
        default: type = "?"; break;
        }
        if (f.typeId >= kUnboundedSequence)
            type += "[]";
        else if (f.typeId >= 96)
            type += "[<=" + std::to_string(f.capacity) + "]";
        else if (f.typeId >= 48)
            type += "[" + std::to_string(f.capacity) + "]";
        out += type + " " + f.name + "\n";
    }
    return out;
}

// The types `type` references, each once, in the order they are first met
// (depth first), as ROS 2 tools list them.
void dependencies(const TypeDescription& type, std::vector<const TypeDescription*>& out)
{
    for (const Field& f : type.fields) {
        if (f.nestedType.empty())
            continue;
        const TypeDescription* t = find(everyType(), f.nestedType);
        if (!t || std::find(out.begin(), out.end(), t) != out.end())
            continue;
        out.push_back(t);
        dependencies(*t, out);
    }
}

} // namespace

std::string messageDefinition(const std::string& type)
{
    const TypeDescription* top = find(everyType(), type);
    if (!top)
        return {};
    std::string out = fieldLines(*top);
    std::vector<const TypeDescription*> deps;
    dependencies(*top, deps);
    for (const TypeDescription* t : deps)
        out += std::string(80, '=') + "\nMSG: " + msgName(t->name) + "\n" + fieldLines(*t);
    return out;
}

std::string hashedDescription(const std::string& type, const std::vector<TypeDescription>& types)
{
    const TypeDescription* top = find(types, type);
    std::set<std::string> names;  // sorted by name
    if (!top || !referenced(*top, types, names))
        return {};
    std::string s = "{\"type_description\": " + described(*top) + ", \"referenced_type_descriptions\": [";
    bool first = true;
    for (const std::string& n : names) {
        s += (first ? "" : ", ") + described(*find(types, n));
        first = false;
    }
    return s + "]}";
}

std::string typeHash(const std::string& type, const std::vector<TypeDescription>& types)
{
    const std::string text = hashedDescription(type, types);
    if (text.empty())
        return {};
    const QByteArray sha = QCryptographicHash::hash(QByteArray::fromStdString(text), QCryptographicHash::Sha256);
    return "RIHS01_" + sha.toHex().toStdString();
}

std::string typeHash(const std::string& type)
{
    static const std::map<std::string, std::string> hashes = [] {
        std::map<std::string, std::string> h;
        for (const TypeDescription& t : everyType())
            h[t.name] = typeHash(t.name, everyType());
        return h;
    }();
    const auto it = hashes.find(type);
    return it == hashes.end() ? std::string() : it->second;
}

std::string typeHashUserData(const std::string& type)
{
    const std::string hash = typeHash(type);
    return hash.empty() ? std::string() : "typehash=" + hash + ";";
}

std::string ddsTypeName(const std::string& type)
{
    const size_t slash = type.rfind('/');
    if (slash == std::string::npos)
        return type + "_";
    std::string prefix = type.substr(0, slash);
    std::string out;
    for (size_t i = 0; i < prefix.size(); ++i)
        out += prefix[i] == '/' ? std::string("::") : std::string(1, prefix[i]);
    return out + "::dds_::" + type.substr(slash + 1) + "_";
}

Time timeOf(int64_t ns)
{
    int64_t sec = ns / 1000000000;
    int64_t rest = ns % 1000000000;
    if (rest < 0) {
        --sec;
        rest += 1000000000;
    }
    return {static_cast<int32_t>(sec), static_cast<uint32_t>(rest)};
}

int64_t nanosecondsOf(const Time& t)
{
    return static_cast<int64_t>(t.sec) * 1000000000 + t.nanosec;
}

std::vector<uint8_t> serialize(const WrenchStamped& m)
{
    Cdr c;
    c.bytes.reserve(96 + m.frameId.size());
    c.put(m.stamp);
    c.put(m.frameId);
    for (const double v : m.force)
        c.put(v);
    for (const double v : m.torque)
        c.put(v);
    return std::move(c.bytes);
}

std::vector<uint8_t> serialize(const DiagnosticArray& m)
{
    Cdr c;
    c.put(m.stamp);
    c.put(m.frameId);
    c.put(static_cast<uint32_t>(m.status.size()));
    for (const DiagnosticStatus& s : m.status) {
        c.put(s.level);
        c.put(s.name);
        c.put(s.message);
        c.put(s.hardwareId);
        c.put(static_cast<uint32_t>(s.values.size()));
        for (const KeyValue& kv : s.values) {
            c.put(kv.key);
            c.put(kv.value);
        }
    }
    return std::move(c.bytes);
}

std::vector<uint8_t> serialize(const Counts& m)
{
    Cdr c;
    size_t size = 40 + m.frameId.size();
    for (const CountsSample& x : m.samples)
        size += 44 + 48 * x.channels.size();
    c.bytes.reserve(size);
    c.put(m.stamp);
    c.put(m.frameId);
    c.put(m.firstSample);
    c.put(static_cast<uint32_t>(m.samples.size()));
    for (const CountsSample& s : m.samples) {
        c.put(s.stamp);
        c.put(s.state);
        c.put(s.config);
        c.put(s.flags);
        for (const int32_t v : s.wrench)
            c.put(v);
        c.put(static_cast<uint32_t>(s.channels.size()));
        for (const ChannelCounts& ch : s.channels) {
            for (const int32_t v : ch.s)
                c.put(v);
            for (const int32_t v : {ch.x, ch.y, ch.z, ch.aux})
                c.put(v);
        }
    }
    return std::move(c.bytes);
}

std::vector<uint8_t> serialize(bool data)
{
    Cdr c;
    c.put(static_cast<uint8_t>(data ? 1 : 0));
    return std::move(c.bytes);
}

namespace {

bool validTokens(const std::string& name, size_t from, std::string& why)
{
    size_t start = from;
    for (size_t i = from; i <= name.size(); ++i) {
        if (i < name.size() && name[i] != '/') {
            const unsigned char c = static_cast<unsigned char>(name[i]);
            if (!std::isalnum(c) && c != '_') {
                why = std::string("'") + name[i] + "' is not allowed (letters, digits, underscores and slashes are)";
                return false;
            }
            continue;
        }
        if (i == start) {
            why = i == name.size() ? "it ends with a slash" : "it has an empty part (two slashes)";
            return false;
        }
        if (std::isdigit(static_cast<unsigned char>(name[start]))) {
            why = "a part starts with a digit (\"" + name.substr(start, i - start) + "\")";
            return false;
        }
        start = i + 1;
    }
    return true;
}

} // namespace

bool validAbsoluteName(const std::string& name, std::string& why)
{
    if (name.empty() || name[0] != '/') {
        why = "it does not start with a slash";
        return false;
    }
    if (name == "/")
        return true;
    return validTokens(name, 1, why);
}

bool validRelativeName(const std::string& name, std::string& why)
{
    if (name.empty()) {
        why = "it is empty";
        return false;
    }
    if (name[0] == '/') {
        why = "it starts with a slash (the namespace comes from --namespace)";
        return false;
    }
    return validTokens(name, 0, why);
}

std::string nameFromPort(const std::string& path)
{
    std::string name = path.rfind("/dev/", 0) == 0 ? path.substr(5) : path;
    for (char& c : name)
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_')
            c = '_';
    if (name.empty() || std::isdigit(static_cast<unsigned char>(name[0])))
        name.insert(0, "port_");
    return name;
}

std::string rosTopic(const std::string& ns, const std::string& relative)
{
    return (ns == "/" ? std::string() : ns) + "/" + relative;
}

} // namespace brovaros2
