// A tabs::TabPrompter for operation tests: answers every box with `answer` and notes what was
// asked, in order: "box 48/2" (message 48, kind 2), "system 55", "timer 3/500".
#pragma once

#include <string>
#include <vector>

#include "tabs/tab_prompter.h"

class RecordingPrompter final : public tabs::TabPrompter {
  public:
    std::vector<std::string> asked;
    bool answer = true;
    bool Box(int id, int kind) override {
        asked.push_back("box " + std::to_string(id) + "/" + std::to_string(kind));
        return answer;
    }
    void SystemBox(int id) override { asked.push_back("system " + std::to_string(id)); }
    void StartTimer(int id, int ms) override {
        asked.push_back("timer " + std::to_string(id) + "/" + std::to_string(ms));
    }
};
