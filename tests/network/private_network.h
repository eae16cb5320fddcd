// Network tests that need routes, multicast or unreachable hosts run inside a
// network namespace of their own, so nothing they send can leave this
// machine or disturb its network. A test starts in the machine's namespace,
// runs itself again under `unshare -rn` and reports what that run found:
//
//   TEST(NetworkSuite, Case) {
//     if (!inside_private_network()) {
//       rerun_in_private_network();
//       return;
//     }
//     ... the body, which may change routes and send anywhere ...
//   }
#pragma once

#include <cstdint>
#include <string>

namespace nerko::network_test {

// True only in the run started by rerun_in_private_network: the variable it
// sets is present and this process is in another network namespace than the
// one that started it.
bool inside_private_network();

// Runs the current test again in a new user and network namespace and turns
// its outcome into this test's: passed, failed with the inner run's output,
// or skipped (also when namespaces are not permitted here).
void rerun_in_private_network();

// Inside: fails the test unless `lo` is the only network interface, then
// brings it up. Everything sent afterwards stays on this machine.
void bring_up_loopback_only();

// Runs `ip` with `arguments` (ASSERT inside; check HasFatalFailure()).
void run_ip(const std::string &arguments);

// A counter of the namespace's IP statistics (/proc/net/snmp), for example
// ("Ip", "OutNoRoutes") or ("Icmp", "OutDestUnreachs"); -1 when absent.
int64_t snmp_counter(const std::string &group, const std::string &name);

}  // namespace nerko::network_test
