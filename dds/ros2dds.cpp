#include "ros2dds.h"

#include "ros2types.h"

#include <cstdlib>
#include <cstring>

namespace brovadds {

const char kWrenchStampedType[] = "geometry_msgs::msg::dds_::WrenchStamped_";
const char kDiagnosticArrayType[] = "diagnostic_msgs::msg::dds_::DiagnosticArray_";

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
