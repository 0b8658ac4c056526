// The program's own texts that are assembled from pieces.
#pragma once

#include <string>

#include "drive/CDDrives.h"

namespace texts {

inline const std::string TitleText = " Flash Utility V1.049 ";

// After every window caption of a program on simulated drives.
inline const std::string SimulatedDrivesSuffix = " (simulated drives)";

inline std::string PlainWarning(const std::string& vendor, const std::string& model) {
  return std::string("\nWARNING:\n") + "\nThis flash utility only supports " + vendor + " " + model +
         " drive. " + "\nPlease REMOVE disc and close all applications before run this utility!" +
         "\nDon't turn off the system while flash is in progress! " + "\n\nDo you wish to continue?\n";
}

inline std::string RestrictedWarning(const std::string& vendor, const std::string& model,
                                     const std::string& fwRange) {
  return std::string("\nWARNING:\n") + "\nThis flash utility only supports " + vendor + " " + model +
         " drive with firmware:" + fwRange +
         "\nPlease REMOVE disc and close all applications before run this utility! " +
         "\nDon't turn off the system while the flash is in progress!" + "\n\nDo you wish to continue?\n";
}

inline std::string PlainReportHeading(const std::string& model) {
  return std::string("\nERROR:\n") + "\nCan't found " + model + " drive !\n" +
         "\nThis flash utility only supports " + model + "\n";
}

inline std::string RestrictedReportHeading(const std::string& model, const std::string& fwRange) {
  return std::string("\nERROR:\n") + "\nCan't found " + model + " firmware: " + fwRange + " drive !\n" +
         "\nThis flash utility only supports " + model + " firmware: " + fwRange + "\n";
}

// The line under "Can't find ATAPI Drive !" that names why no drive could be
// listed and what to do; empty when the cause is not known.
inline std::string EmptyListCauseLine(const EmptyListCause& cause) {
  switch (cause.kind) {
    case EmptyListCause::NoRights:
      if (!cause.remedy.empty()) return "No access to " + cause.node + ": " + cause.remedy + "\n";
      // A node of root's own group is no group to join.
      if (cause.group.empty() || cause.group == "root") return "No access to " + cause.node + ": run as root.\n";
      return "No access to " + cause.node + ": add yourself to the group that owns it (" + cause.group +
             ") and log in again, or run as root.\n";
    case EmptyListCause::NoGenericDriver:
      return "The sg module is not loaded: load it (sudo modprobe sg) and start again.\n";
    case EmptyListCause::NoOpticalDrive:
      return "No optical drive was found on this computer.\n";
    case EmptyListCause::Unknown:
      break;
  }
  return {};
}

}  // namespace texts
