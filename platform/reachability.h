// Whether this machine has a network path at all, the question the network probe asks before it
// contacts the server: true when a default route exists (IPv4 or IPv6) or a non-loopback interface is
// up with an address. It says nothing about whether the server answers; the probe's HTTP request does.
//
// Tests replace the answer with `setReachabilityOverride`, so a probe can be driven through "no
// network" and back on a machine that has one.
//
// Thread-safety: every function may be called from any thread.
#pragma once

#include <functional>
#include <string>

namespace tw::platform {

// The answer from the system: default route or an interface that is up with an address. Reads
// /proc/net/route, /proc/net/ipv6_route and getifaddrs(); false when none of them can be read.
bool systemNetworkReachable();

// What the probe uses: the override when one is installed, else `systemNetworkReachable()`.
bool networkReachable();
// An empty function removes the override.
void setReachabilityOverride(std::function<bool()> answer);

// The parsers behind `systemNetworkReachable`, on the text of the proc files (tests).
bool ipv4TableHasDefaultRoute(const std::string& procNetRoute);
bool ipv6TableHasDefaultRoute(const std::string& procNetIpv6Route);

}  // namespace tw::platform
