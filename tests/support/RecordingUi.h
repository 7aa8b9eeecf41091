// The update and roll-back commands' window, for tests: it records what the
// command shows and answers the question as told.
#pragma once

#include <gtest/gtest.h>

#include <QStringList>

#include <functional>
#include <utility>
#include <vector>

#include "app/core/UpdateUi.h"

namespace adv::test {

class RecordingUi final : public UpdateUi {
public:
    explicit RecordingUi(bool answer) : answer_(answer) {}
    void setPointer(Pointer p) override { pointers.push_back(p); }
    bool askYesNo(const QString& prompt, const QString& title) override
    {
        ++questions;
        EXPECT_EQ(prompt, QStringLiteral("Sei sicuro di voler procedere"));
        EXPECT_EQ(title, QStringLiteral("Aggiornamento software"));
        EXPECT_EQ(pointers.back(), Pointer::Hourglass) << "the question is asked with the hourglass";
        return answer_;
    }
    void showBusyLabel() override { busy = true; }
    void AppendStatus(const QString& message) override { lines << message; }
    void downloadProgress(std::int64_t, std::int64_t) override { ++progress; }
    void downloadEnded() override { progressHidden = true; }
    bool stopRequested() override
    {
        if (whileWaiting)
            std::exchange(whileWaiting, nullptr)();
        return false;
    }
    std::function<void()> whileWaiting;  // once, at the first wait on the server

    std::vector<Pointer> pointers;
    int questions = 0;
    bool busy = false;
    QStringList lines;
    int progress = 0;
    bool progressHidden = false;

private:
    bool answer_;
};

}  // namespace adv::test
