#pragma once

#include <atomic>
#include <thread>

namespace vesk::test {

// While alive, closes every dialog box (window class "#32770") this process shows, so a test of code that
// lets the system show an error dialog does not wait for a click that never comes.
class DialogDismisser {
public:
    DialogDismisser();
    ~DialogDismisser();
    DialogDismisser(const DialogDismisser&) = delete;
    DialogDismisser& operator=(const DialogDismisser&) = delete;

    // How many dialogs were closed so far.
    int dismissed() const { return dismissed_.load(); }

private:
    std::atomic<bool> stop_{false};
    std::atomic<int> dismissed_{0};
    std::thread watcher_;
};

} // namespace vesk::test
