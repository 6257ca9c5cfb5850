#include "ros2dds.h"

#include "ros2types.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

namespace brovadds {

const char kWrenchStampedType[] = "geometry_msgs::msg::dds_::WrenchStamped_";
const char kDiagnosticArrayType[] = "diagnostic_msgs::msg::dds_::DiagnosticArray_";

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

std::string ddsTopic(const std::string& rosName)
{
    return "rt" + rosName;
}

std::string rosTopicOf(const std::string& ddsName)
{
    return ddsName.rfind("rt/", 0) == 0 ? ddsName.substr(2) : std::string();
}

int domainId(bool fromOption, const std::string& optionText, std::string& why)
{
    std::string text = optionText, source = "--domain";
    if (!fromOption) {
        const char* env = std::getenv("ROS_DOMAIN_ID");
        if (!env || !*env)
            return 0;
        text = env;
        source = "ROS_DOMAIN_ID";
    }
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end || v < 0 || v > 232) {
        why = source + " " + text + ": a domain id is a whole number from 0 to 232";
        return -1;
    }
    return static_cast<int>(v);
}

dds_entity_t joinDomain(int domain, std::string& why)
{
    // Cyclone DDS's own warnings (such as loopback not being multicast
    // capable) are not the user's business; its errors are told.
    dds_set_log_mask(DDS_LC_ERROR | DDS_LC_FATAL);
    const dds_entity_t p = dds_create_participant(static_cast<dds_domainid_t>(domain), nullptr, nullptr);
    if (p < 0)
        why = "cannot join DDS domain " + std::to_string(domain) + ": " + dds_strretcode(p) +
              " (is CYCLONEDDS_URI valid, and a network interface up?)";
    return p;
}

dds_qos_t* rosQos(bool reliable, int depth)
{
    dds_qos_t* q = dds_create_qos();
    dds_qset_reliability(q, reliable ? DDS_RELIABILITY_RELIABLE : DDS_RELIABILITY_BEST_EFFORT, DDS_MSECS(100));
    dds_qset_history(q, depth > 0 ? DDS_HISTORY_KEEP_LAST : DDS_HISTORY_KEEP_ALL, depth);
    dds_qset_durability(q, DDS_DURABILITY_VOLATILE);
    const dds_data_representation_id_t xcdr1 = DDS_DATA_REPRESENTATION_XCDR1;
    dds_qset_data_representation(q, 1, &xcdr1);
    return q;
}

void setTypeHash(dds_qos_t* qos, const std::string& rosType)
{
    const std::string entry = brovaros2::typeHashUserData(rosType);
    if (!entry.empty())
        dds_qset_userdata(qos, entry.data(), entry.size());
}

} // namespace brovadds
