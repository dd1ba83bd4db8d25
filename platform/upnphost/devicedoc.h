// The device description as the host checks, completes and publishes it,
// and the service descriptions (SCPD) it names.
#pragma once

#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "qel/base.h"
#include "winerror.h"

namespace qel::upnphost {

struct ScpdArgument {
  std::string name;
  std::string stateVariable;
  std::string dataType;  // of the related state variable ("string" when unknown)
  bool retval = false;
};

struct ScpdAction {
  std::string name;
  std::vector<ScpdArgument> in;
  std::vector<ScpdArgument> out;
};

struct Scpd {
  std::vector<ScpdAction> actions;
  std::vector<std::string> eventedVariables;
  std::map<std::string, std::string> variableTypes;
  const ScpdAction* FindAction(std::string_view name) const;
};

struct ServiceEntry {
  std::string deviceUdn;   // the UDN of the device that holds the service
  std::string serviceType;
  std::string serviceId;
  std::string scpdFile;     // path below the resource directory, '/'-separated
  std::string controlPath;  // server paths the host assigned
  std::string eventPath;
  std::string scpdPath;
  std::shared_ptr<const Scpd> scpd;  // shared by every service that names the same file
};

struct DeviceEntry {
  std::string udn;          // as announced
  std::string templateUdn;  // as written in the description
  std::string deviceType;
};

struct DeviceDoc {
  std::vector<DeviceEntry> devices;  // the root device first, then embedded ones
  std::vector<ServiceEntry> services;
  std::string publishedXml;          // UTF-8, with the host's URLs and UDNs
  std::vector<std::string> documents;  // the files it names (SCPDs, icons), below the resource directory
  std::vector<std::string> notes;    // what the host changed and why (for the log)
};

// Checks `xmlUtf8` as the device host does, resolves each service description
// in `resourceDir`, assigns the server paths below `urlPrefix` ("/upnphost/<key>")
// and writes the description to publish. `udnsInUse` are UDNs of devices this
// host already announces: a description that repeats one gets a new UDN.
// Results: S_OK, UPNP_E_* for a description that lacks what a control point
// needs, HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND) for a missing resource
// directory, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) for a missing service
// description, E_ACCESSDENIED for a file outside the resource directory.
// `why` says what was wrong.
HRESULT PrepareDescription(std::string_view xmlUtf8, const std::filesystem::path& resourceDir,
                           const std::string& urlPrefix, const std::vector<std::string>& udnsInUse,
                           DeviceDoc* out, std::string* why);

// Parses a service description; UPNP_E_INVALID_DOCUMENT when it is not one.
HRESULT ParseScpd(std::string_view xmlUtf8, Scpd* out, std::string* why);

// Resolves `relative` ('/'-separated, already unescaped) below `root`:
// no "..", no absolute path, no symlink that leaves `root`. Empty on refusal.
std::filesystem::path ResolveInside(const std::filesystem::path& root, std::string_view relative);

}  // namespace qel::upnphost
