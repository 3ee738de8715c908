#pragma once

#include "filesystem.h"

#include <functional>
#include <map>
#include <string>
#include <vector>

namespace zelk::sim {

// What a whole-system run must end with: every file the sender had arrived byte-identical, once,
// and left the sender's outbox. It watches the receiver's file system from before the run, so it
// sees a file completed twice (a consumer of the folder would take it twice) even when the second
// copy is as good as the first.
class DeliveryCheck {
public:
    // Takes the file system's observer.
    DeliveryCheck(FileSystem& received, std::string folder);
    DeliveryCheck(const DeliveryCheck&) = delete;
    DeliveryCheck& operator=(const DeliveryCheck&) = delete;

    void expect(const std::string& name, Bytes content);
    // Names of the receiver's own working files, not taken for a file left behind.
    void ignore(std::function<bool(const std::string& name)> isOwn) { isOwn_ = std::move(isOwn); }

    // Every expected file is in place and gone from the outbox: a run can stop here. Cheap enough
    // to ask after every event.
    bool settled(const FileSystem& sender, const std::string& outbox) const;
    // What went wrong, one text each ("lost a.bin", "damaged b.bin: 1200 bytes of 4000", ...);
    // empty for a good run.
    std::vector<std::string> problems(const FileSystem& sender, const std::string& outbox) const;

private:
    struct Expected {
        Bytes content;
        bool identical = false;
        int completions = 0;
    };
    void changed(const std::string& folder, const std::string& name);
    std::string problem(const std::string& name, const Expected& expected, bool inOutbox) const;

    FileSystem& received_;
    std::string folder_;
    std::map<std::string, Expected> expected_;
    int identical_ = 0;
    std::function<bool(const std::string&)> isOwn_;
};

} // namespace zelk::sim
