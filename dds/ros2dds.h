// What brova publish and brova listen share: ROS 2 names and how they become
// DDS topic names, the domain to join, and the QoS a ROS 2 node expects.
//
// The conventions (see dds/ros2_msgs.idl for the types) come from the
// project's notes on ROS 2 over DDS, gathered from the ROS 2 middleware
// sources:
// - A ROS topic /a/b is the DDS topic rt/a/b: the leading slash dropped and
//   the prefix "rt" put in front (services would use rq and rr).
// - The domain is ROS_DOMAIN_ID (0 when unset), as every ROS 2 node takes it;
//   RTPS ports follow 7400 + 250 x domain, so the ids run 0 .. 232.
// - QoS: ROS 2's default profile is reliable, keep last 10, volatile; its
//   "sensor data" profile is best effort, keep last 5, volatile. A reliable
//   writer serves reliable and best-effort subscribers alike; a best-effort
//   writer is refused by a reliable one.
// - Data representation XCDR1 only: what rmw_cyclonedds and rmw_fastrtps
//   accept.
#pragma once

#include <dds/dds.h>

#include <string>

#include "ros2types.h"

namespace brovadds {

// The type names a ROS 2 node matches on (generated from ros2_msgs.idl).
extern const char kWrenchStampedType[];    // geometry_msgs::msg::dds_::WrenchStamped_
extern const char kDiagnosticArrayType[];  // diagnostic_msgs::msg::dds_::DiagnosticArray_

// ROS names (validAbsoluteName, validRelativeName, nameFromPort, rosTopic)
// are brovaros2's, which needs no DDS runtime.
using brovaros2::nameFromPort;
using brovaros2::rosTopic;
using brovaros2::validAbsoluteName;
using brovaros2::validRelativeName;
// The DDS topic of a ROS topic: /a/b is rt/a/b.
std::string ddsTopic(const std::string& rosName);
// The ROS topic of a DDS topic (rt/a/b is /a/b); empty when it is not a ROS
// topic.
std::string rosTopicOf(const std::string& ddsName);

// The domain: --domain's text when given (fromOption), otherwise
// ROS_DOMAIN_ID, otherwise 0. -1 with the reason for a value that is not a
// domain id.
int domainId(bool fromOption, const std::string& optionText, std::string& why);
// Joins the domain: a participant, or a negative value with the reason
// (CYCLONEDDS_URI that is not valid, ports in use, no network interface).
dds_entity_t joinDomain(int domain, std::string& why);

// QoS of a writer (or a reader): reliable or best effort, keep last
// `depth` (ROS 2's default profile is reliable, keep last 10; its sensor-data
// profile best effort, keep last 5), or keep all for a depth of 0; volatile;
// XCDR1. Delete with dds_delete_qos.
dds_qos_t* rosQos(bool reliable, int depth);
// The typehash entry ROS 2 (Iron and later) reads from an endpoint's
// USER_DATA (ros2 topic info -v shows it, a recording stores it): the real
// RIHS01 hash of the ROS type (pkg/msg/Type, see ros2types.h); no entry for
// a type whose hash is not known, which ROS 2 reads as "unknown".
void setTypeHash(dds_qos_t* qos, const std::string& rosType);

} // namespace brovadds
