#include "windows/service/process_supervision.hpp"

namespace morvex {

Result<UniqueHandle> supervise_process(HANDLE process) {
  UniqueHandle job(CreateJobObjectW(nullptr, nullptr));
  if (!job) return fail("Cannot prepare VPN process supervision.");

  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  static_assert(sizeof(limits) == 144);
  if (!SetInformationJobObject(job.get(), JobObjectExtendedLimitInformation, &limits,
                               sizeof(limits)) ||
      !AssignProcessToJobObject(job.get(), process)) {
    return fail("Cannot supervise the VPN process safely.");
  }
  return job;
}

}  // namespace morvex
