// The process shut in on Windows: the process mitigation policies that a process may set on
// itself. Which files it reaches is the access lists' to say (docs/windows.md).
#include <string>
#include <vector>

#include "platform/confinement.h"
#include "platform/kernel32.h"

namespace trackrelay {
namespace {

constexpr int kMitigationsAsked = 3;

// Looked up rather than linked: Windows before 8 has no such routine, and the program still runs
// there as before.
using SetPolicy = BOOL(WINAPI*)(PROCESS_MITIGATION_POLICY, PVOID, SIZE_T);

SetPolicy PolicySetter() {
  const HMODULE kernel32 = GetModuleHandleA("kernel32.dll");
  if (kernel32 == nullptr) return nullptr;
  return reinterpret_cast<SetPolicy>(
      reinterpret_cast<void (*)()>(GetProcAddress(kernel32, "SetProcessMitigationPolicy")));
}

template <typename Policy>
bool Set(SetPolicy set, PROCESS_MITIGATION_POLICY which, Policy policy) {
  return set(which, &policy, sizeof policy) != 0;
}

}  // namespace

Confinement ConfineProcess(const std::vector<FolderAccess>&) {
  Confinement got;
  const SetPolicy set = PolicySetter();
  if (set == nullptr) return got;
  // No code made at run time: no page of the process is ever made executable, nor an executable
  // one writable again.
  PROCESS_MITIGATION_DYNAMIC_CODE_POLICY dynamic_code{};
  dynamic_code.ProhibitDynamicCode = 1;
  got.mitigations += Set(set, ProcessDynamicCodePolicy, dynamic_code);
  // No images from a share or of low integrity, and the system's own DLLs before any beside the
  // program.
  PROCESS_MITIGATION_IMAGE_LOAD_POLICY images{};
  images.NoRemoteImages = 1;
  images.NoLowMandatoryLabelImages = 1;
  images.PreferSystem32Images = 1;
  got.mitigations += Set(set, ProcessImageLoadPolicy, images);
  // None of the legacy ways of loading a DLL into every process (AppInit_DLLs, window hooks,
  // input method editors).
  PROCESS_MITIGATION_EXTENSION_POINT_DISABLE_POLICY extension_points{};
  extension_points.DisableExtensionPoints = 1;
  got.mitigations += Set(set, ProcessExtensionPointDisablePolicy, extension_points);
  // No child processes, where Windows lets a running process refuse them itself; where it does
  // not, the call fails and the rest holds.
  PROCESS_MITIGATION_CHILD_PROCESS_POLICY children{};
  children.NoChildProcessCreation = 1;
  got.no_child_processes = Set(set, ProcessChildProcessPolicy, children);
  return got;
}

Confinement OfferedConfinement() {
  Confinement offered;
  // Whether each policy takes is only told by setting it, which cannot be undone; the routine's
  // presence is what can be told without.
  if (PolicySetter() != nullptr) offered.mitigations = kMitigationsAsked;
  return offered;
}

ConfinementLevel LevelOf(const Confinement& confinement) {
  if (confinement.mitigations == 0) return ConfinementLevel::kNone;
  return confinement.mitigations >= kMitigationsAsked ? ConfinementLevel::kWhole : ConfinementLevel::kPartial;
}

std::string DescribeConfinement(const Confinement& confinement) {
  return std::to_string(confinement.mitigations) + " of " + std::to_string(kMitigationsAsked) +
         " process mitigation policies (dynamic code, remote images, extension points)";
}

}  // namespace trackrelay
