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
        return buttons == Buttons::OK ? Answer::OK : Next(answers, "question: " + text, Answer::No);
    }
    std::string ShowOpen(const CommonDialog& dialog) override {
        openCalls.push_back(dialog);
        const auto keep = [](const CommonDialog& d) { return d.FileName; };
        return Next(opens, "Open dialog", {keep})(dialog);
    }
    std::string BrowseFolder(const std::string& title) override {
        folderTitles.push_back(title);
        return Next(folders, "folder dialog", std::string());
    }

    // Scripts the Open dialog to return `text` once.
    void OpenReturns(std::string text) {
        opens.push_back([text](const CommonDialog&) { return text; });
    }

  private:
    // The next scripted answer; none left is a test failure, answered with
    // `otherwise`.
    template <class T>
    static T Next(std::deque<T>& script, const std::string& what, T otherwise) {
        if (script.empty()) {
            ADD_FAILURE() << "unexpected " << what;
            return otherwise;
        }
        T next = std::move(script.front());
        script.pop_front();
        return next;
    }
};

}  // namespace qm::app::test
