// The watch's part of the worker's loop: what a job's end means for its pauses, and the wait
// when nothing can be started now. Which job may start is WatchScheduler's to say.
#include "transfer/TThreadCopia.h"

#include <exception>

#include "batch/BatchFileStore.h"
#include "transfer/WatchScheduler.h"

namespace ct {

TThreadCopia::JobEnd TThreadCopia::NoteForWatch(JobEnd end, const Job& job) {
    if (end == JobEnd::EndRun && m_runEnd == RunEnd::ServersUnreachable) {
        // A run ends when no connection can be had; a watch keeps the server's jobs for later
        // and goes on, unless a stop came meanwhile (RequestStop tells the watch first).
        AbortTransfer = false;
        if (scheduler->Stopped()) {
            AbortTransfer = true;
            m_runEnd = RunEnd::Stopped;
            return end;
        }
        m_runEnd = RunEnd::Done;
        end = JobEnd::ServerDown;
    }
    if (end == JobEnd::ServerDown)
        scheduler->ServerDown(job.endpoint);
    else if (end != JobEnd::EndRun)
        scheduler->ServerAnswered(job.endpoint);
    return end;
}

bool TThreadCopia::WaitForQueue() {
    // The session goes: a server would cut it during a long quiet, and the next job would fail
    // on a dead connection. Lines that producers added late to a version this run replaced are
    // carried in now, since their writes wake nobody.
    if (const std::unique_ptr<ITransferClient> old = SwapClient(nullptr)) {
        try {
            old->Disconnect();
        } catch (...) {
        }
        sessionMayBeOpen = false;
    }
    try {
        SettleBatchFile(BatchFileInUse());
    } catch (const std::exception&) {
        // The next rewrite carries them, or says why it cannot.
    }
    if (!scheduler->WaitForWork())
        return false;
    RunStep(&TThreadCopia::SyncReloadList);
    return true;
}

} // namespace ct
