// AWS request shapes, service errors, sessions and clients.
#pragma once

#include "glue/values.hpp"

#include <functional>
#include <optional>

namespace glue {

// ---- request shapes ------------------------------------------------------------

// {"Name": name, "Values": values}: one entry of a describe call's Filters.
py::dict filterSpec(const char *name, py::list values);

// {"Key": key, "Value": value}
py::dict tagPair(const std::string &key, const std::string &value);

// Every item under `key` of every page of the operation `op` of `client`
// (called with `kwargs`), through the SDK's paginator; an operation without a
// paginator is one call.
py::list allPages(py::object client, const char *op, const char *key, py::dict kwargs = py::dict());

// ---- service errors ------------------------------------------------------------

// The "Error"/"Code" of a botocore ClientError, or nothing when the error is
// not a service error.
std::optional<std::string> awsErrorCode(const py::error_already_set &e);
bool isServiceError(const py::error_already_set &e);
// A service error or any other error of the SDK (waiter, credentials, ...).
bool isAwsError(const py::error_already_set &e);

// ---- sessions and clients --------------------------------------------------------

// What a session opener answers when the assumed role's session cannot be made.
inline const char *kSessionFailed = "The AWS new session attempt has failed";

// A boto3 session of a named profile, or of the default chain for None.
py::object profileSession(py::object profile);

// Assumes `role` with the credentials of `profile` (None: the default chain)
// and returns (session of the temporary credentials, the credentials). When
// that session cannot be made: one error line, and None. A refused
// assume-role call raises.
py::object assumeRoleSession(py::object role, py::object profile);

// A client of `service` from `session` whose requests share, per action, an
// adaptive pace across the process, and whose throttled requests are retried
// until they have been throttled for `giveUp` seconds (pacing.cpp).
py::object pacedClient(py::object session, const char *service, py::object region, double giveUp);

// Calls fn(*fargs, **fkwargs), retried through the `retry` package on
// `exceptions` (`tries` calls, `delay` seconds apart).
py::object retryCall(py::object fn, py::tuple fargs, py::dict fkwargs, py::object exceptions, int tries, double delay);

// ---- route tables and subnets ------------------------------------------------------

// Walks the route tables of a describe_route_tables listing: for every default
// route (0.0.0.0/0: the only one that carries the test's traffic) whose
// `targetKey` (NatGatewayId, NetworkInterfaceId, ...) is a key of `byTarget`,
// appends the subnets associated with the route's table to
// `subnetsOf(entry)`. Associations without a subnet (main table, gateway) are
// skipped.
void collectRoutedSubnets(py::list tables, const char *targetKey, py::dict byTarget,
                          const std::function<py::list(py::handle)> &subnetsOf);

// The gateway address of a subnet: network address plus one, dotted decimal.
std::string gatewayAddress(py::handle cidr);

}  // namespace glue
