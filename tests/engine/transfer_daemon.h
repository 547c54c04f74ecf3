// A configuration that backs up to the test's rsync daemon through the stand-in.
#pragma once

#include "test_support.h"
#include "URSync.h"

namespace kal::test {

// Remote host 127.0.0.1 with the daemon's user, module, port and password file.
inline void UseDaemon(TRSync& sync, const RsyncDaemon& daemon) {
    auto host = std::make_unique<TRemoteHost>();
    host->SetHost("127.0.0.1");
    host->SetUser(daemon.User());
    sync.SetServer(std::move(host));
    sync.SetModule(daemon.ModuleName());
    sync.SetPort(daemon.Port());
    sync.SetPasswordFile(daemon.PasswordFile().string());
    sync.SetRSyncLocation(StandinPath().string());
}

} // namespace kal::test
