// --session on the command line: opening the file for a job, refusals.
#include <cstdlib>
#include <iostream>

#include "cli/cli.h"

namespace brantlow::cli {

std::string sessionJob(const Args& a, std::initializer_list<const char*> options) {
    std::string job;
    for (const char* o : options) {
        if (!a.has(o)) continue;
        if (!job.empty()) job += ' ';
        job += o;
        if (!a.get(o).empty()) job += "=" + a.get(o);
    }
    return job.empty() ? "defaults" : job;
}

std::unique_ptr<session::SessionFile> openSession(const Args& a, const Sources& sources, session::SessionKind kind,
                                                  const std::string& job, int& rc, bool& existed) {
    existed = false;
    if (!a.has("--session")) return nullptr;
    const std::string path = a.get("--session");
    if (path.empty()) {
        std::cerr << "brantlow-cli: --session needs a file\n";
        rc = kExitUsage;
        return nullptr;
    }
    std::vector<session::SourceIdentity> ids;
    for (size_t k = 0; k < sources.disks.size(); ++k) {
        const std::string name = sources.disks.size() == sources.paths.size() ? sources.paths[k]
                                                                              : "set " + std::to_string(k);
        ids.push_back(session::identifySource(name, *sources.disks[k].reader));
    }
    session::Opening o = session::SessionFile::open(path, kind, job, ids, a.has("--session-overwrite"));
    if (!o.file) {
        std::cerr << "brantlow-cli: the session " << terminalSafe(path) << " " << terminalSafe(o.reason);
        if (o.refusal == session::Refusal::Older)
            std::cerr << "; it is left as it is";
        else if (o.refusal != session::Refusal::CannotWrite)
            std::cerr << "; it is left as it is (--session-overwrite replaces it)";
        std::cerr << "\n";
        rc = kExitSession;
        return nullptr;
    }
    existed = o.existed;
    // BRANTLOW_CHECKPOINT_MS: checkpoints this often (tests; default 2 s).
    if (const char* ms = std::getenv("BRANTLOW_CHECKPOINT_MS"))
        if (auto v = parseU64(ms); v && *v > 0 && *v < 3600000) o.file->setInterval(std::chrono::milliseconds(*v));
    return std::move(o.file);
}

void sayCheckpointsStopped(session::SessionFile& f) {
    static bool said = false;
    if (said || f.writable()) return;
    said = true;
    std::cerr << "\nbrantlow-cli: the session " << terminalSafe(f.path())
              << " cannot be written (" << terminalSafe(f.stopReason())
              << "): its checkpoints stopped; the job goes on without them\n";
}

}  // namespace brantlow::cli
