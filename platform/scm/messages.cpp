// System message texts for the codes the service control manager gives.
#include "scm_internal.h"

namespace qel::scm {

std::string_view ErrorText(DWORD code) {
  switch (code) {
    case 0: return "The operation completed successfully.";
    case 1: return "Incorrect function.";
    case 2: return "The system cannot find the file specified.";
    case 3: return "The system cannot find the path specified.";
    case 5: return "Access is denied.";
    case 6: return "The handle is invalid.";
    case 8: return "Not enough memory resources are available to process this command.";
    case 13: return "The data is invalid.";
    case 14: return "Not enough memory resources are available to complete this operation.";
    case 87: return "The parameter is incorrect.";
    case 122: return "The data area passed to a system call is too small.";
    case 123: return "The filename, directory name, or volume label syntax is incorrect.";
    case 124: return "The system call level is not correct.";
    case 193: return "%1 is not a valid Win32 application.";
    case 206: return "The filename or extension is too long.";
    case 234: return "More data is available.";
    case 1009: return "The configuration registry database is corrupt.";
    case 1010: return "The configuration registry key is invalid.";
    case 1011: return "The configuration registry key could not be opened.";
    case 1012: return "The configuration registry key could not be read.";
    case 1013: return "The configuration registry key could not be written.";
    case 1015:
      return "The registry is corrupted. The structure of one of the files containing registry data is "
             "corrupted, or the system's memory image of the file is corrupted, or the file could not be "
             "recovered because the alternate copy or log was absent or corrupted.";
    case 1016:
      return "An I/O operation initiated by the registry failed unrecoverably. The registry could not read "
             "in, or write out, or flush, one of the files that contain the system's image of the registry.";
    case 1018: return "Illegal operation attempted on a registry key that has been marked for deletion.";
    case 1051: return "A stop control has been sent to a service that other running services are dependent on.";
    case 1052: return "The requested control is not valid for this service.";
    case 1053: return "The service did not respond to the start or control request in a timely fashion.";
    case 1054: return "A thread could not be created for the service.";
    case 1055: return "The service database is locked.";
    case 1056: return "An instance of the service is already running.";
    case 1057:
      return "The account name is invalid or does not exist, or the password is invalid for the account name "
             "specified.";
    case 1058:
      return "The service cannot be started, either because it is disabled or because it has no enabled "
             "devices associated with it.";
    case 1059: return "Circular service dependency was specified.";
    case 1060: return "The specified service does not exist as an installed service.";
    case 1061: return "The service cannot accept control messages at this time.";
    case 1062: return "The service has not been started.";
    case 1063: return "The service process could not connect to the service controller.";
    case 1064: return "An exception occurred in the service when handling the control request.";
    case 1065: return "The database specified does not exist.";
    case 1066: return "The service has returned a service-specific error code.";
    case 1067: return "The process terminated unexpectedly.";
    case 1068: return "The dependency service or group failed to start.";
    case 1069: return "The service did not start due to a logon failure.";
    case 1070: return "After starting, the service hung in a start-pending state.";
    case 1071: return "The specified service database lock is invalid.";
    case 1072: return "The specified service has been marked for deletion.";
    case 1073: return "The specified service already exists.";
    case 1075: return "The dependency service does not exist or has been marked for deletion.";
    case 1077: return "No attempts to start the service have been made since the last boot.";
    case 1078: return "The name is already in use as either a service name or a service display name.";
    case 1083:
      return "The executable program that this service is configured to run in does not implement the service.";
    case 1213: return "The format of the specified service name is invalid.";
    case 1460: return "This operation returned because the timeout period expired.";
    case 1639:
      return "Invalid command line argument. Consult the Windows Installer SDK for detailed command line help.";
    case 1722: return "The RPC server is unavailable.";
    default: return {};
  }
}

}  // namespace qel::scm
