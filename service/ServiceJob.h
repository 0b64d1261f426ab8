// One request to the update service, served as the service serves it: with
// the rights to write the install folder, so nothing it is handed is
// trusted but two paths, and nothing is installed that does not verify
// against the service's own release keys and the folder's trust.
#pragma once

#include <string>
#include <vector>

#include "engine/install/ServiceRequest.h"

// `arguments`: the start arguments after the service's name. `keys`: the
// public release keys the service carries. Every outcome but Installed
// leaves the folder's files as they were (its own log aside).
ServiceOutcome ServeRequest(const std::vector<std::wstring>& arguments, const std::vector<std::string>& keys);
