#include "delivery.h"

namespace zelk::sim {

DeliveryCheck::DeliveryCheck(FileSystem& received, std::string folder)
    : received_(received), folder_(std::move(folder)) {
    received_.setObserver(
        [this](const std::string& folder, const std::string& name) { changed(folder, name); });
}

void DeliveryCheck::expect(const std::string& name, Bytes content) {
    Expected& expected = expected_[name];
    identical_ -= expected.identical ? 1 : 0;
    expected = Expected{std::move(content)};
    changed(folder_, name);
    expected.completions = 0; // a file already there before the run was not delivered by it
}

void DeliveryCheck::changed(const std::string& folder, const std::string& name) {
    if (folder != folder_) {
        return;
    }
    const auto found = expected_.find(name);
    if (found == expected_.end()) {
        return;
    }
    Expected& expected = found->second;
    const Bytes* now = received_.file(folder_, name);
    const bool identical = now != nullptr && *now == expected.content;
    if (identical && !expected.identical) {
        ++expected.completions;
    }
    identical_ += (identical ? 1 : 0) - (expected.identical ? 1 : 0);
    expected.identical = identical;
}

bool DeliveryCheck::settled(const FileSystem& sender, const std::string& outbox) const {
    if (identical_ != static_cast<int>(expected_.size())) {
        return false;
    }
    for (const auto& [name, expected] : expected_) {
        if (sender.exists(outbox, name)) {
            return false;
        }
    }
    return true;
}

std::string DeliveryCheck::problem(const std::string& name, const Expected& expected,
                                   bool inOutbox) const {
    const std::int64_t size = received_.size(folder_, name);
    const std::string want = std::to_string(expected.content.size());
    if (!expected.identical && inOutbox) {
        return "stuck " + name + ": " + std::to_string(size) + " bytes of " + want + " arrived";
    }
    if (size < 0) {
        return "lost " + name;
    }
    if (!expected.identical) {
        return "damaged " + name + ": " + std::to_string(size) + " bytes of " + want;
    }
    if (inOutbox) {
        return "stuck " + name + ": arrived whole but still in the outbox";
    }
    if (expected.completions > 1) {
        return "delivered " + std::to_string(expected.completions) + " times " + name;
    }
    return {};
}

std::vector<std::string> DeliveryCheck::problems(const FileSystem& sender,
                                                 const std::string& outbox) const {
    std::vector<std::string> found;
    for (const auto& [name, expected] : expected_) {
        std::string problem = this->problem(name, expected, sender.exists(outbox, name));
        if (!problem.empty()) {
            found.push_back(std::move(problem));
        }
    }
    for (const std::string& name : received_.list(folder_)) {
        if (expected_.count(name) == 0 && !(isOwn_ && isOwn_(name))) {
            found.push_back("left behind " + name);
        }
    }
    return found;
}

} // namespace zelk::sim
