// FakeDialogs: the Dialogs seam with scripted answers, recording every call.
// A Yes/No box without a scripted answer is a test failure (answered No).
#pragma once

#include <QGuiApplication>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "app/dialogs.h"

namespace qm::app::test {

struct ShownBox {
    std::string text;
    std::string title;
    Buttons buttons;
    Icon icon;
    std::string details;
    bool busyCursor;  // the hourglass was still up when the box appeared
};

class FakeDialogs : public Dialogs {
  public:
    std::deque<Answer> answers;
    std::deque<std::function<std::string(const CommonDialog&)>> opens;
    std::deque<std::string> folders;

    std::vector<ShownBox> boxes;
    std::vector<CommonDialog> openCalls;
    std::vector<std::string> folderTitles;

    Answer MsgBox(const std::string& text, const std::string& title, Buttons buttons, Icon icon,
                  const std::string& details) override {
        boxes.push_back(
            {text, title, buttons, icon, details, QGuiApplication::overrideCursor() != nullptr});
        if (buttons == Buttons::OK) return Answer::OK;
        if (answers.empty()) {
            ADD_FAILURE() << "unexpected question: " << text;
            return Answer::No;
        }
        Answer a = answers.front();
        answers.pop_front();
        return a;
    }

    std::string ShowOpen(const CommonDialog& dialog) override {
        openCalls.push_back(dialog);
        if (opens.empty()) {
            ADD_FAILURE() << "unexpected Open dialog";
            return dialog.FileName;
        }
        auto next = std::move(opens.front());
        opens.pop_front();
        return next(dialog);
    }

    std::string BrowseFolder(const std::string& title) override {
        folderTitles.push_back(title);
        if (folders.empty()) {
            ADD_FAILURE() << "unexpected folder dialog";
            return {};
        }
        std::string f = folders.front();
        folders.pop_front();
        return f;
    }

    // Scripts the Open dialog to return `text` once.
    void OpenReturns(std::string text) {
        opens.push_back([text](const CommonDialog&) { return text; });
    }
};

}  // namespace qm::app::test
