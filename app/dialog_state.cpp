#include "app/dialog_state.h"

#include <algorithm>

const char* answerName(Answer answer) {
    switch (answer) {
        case Answer::Ok:
            return "OK";
        case Answer::Yes:
            return "Yes";
        case Answer::No:
            return "No";
    }
    return "?";
}

std::vector<Answer> Box::answers() const {
    if (kind == Kind::Error) {
        return {Answer::Ok};
    }
    return {Answer::Yes, Answer::No};
}

bool Box::offers(Answer answer) const {
    const std::vector<Answer> all = answers();
    return std::find(all.begin(), all.end(), answer) != all.end();
}

bool DialogState::enabled(Button button) const {
    switch (button) {
        case Button::Update:
            return updateEnabled;
        case Button::Exit:
            return exitEnabled;
        case Button::Ntsc:
        case Button::Pal:
            return standardEnabled;
    }
    return false;
}
