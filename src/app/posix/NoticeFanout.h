#pragma once

#include "link/NotifyUser.h"

// Hands every notification to the terminal and, when it is served, to the web page.
class NoticeFanout : public NotifySink {
public:
    NoticeFanout(NotifySink& first, NotifySink* second) : first_(first), second_(second) {}

    void Deliver(const UiNotice& notice) override {
        first_.Deliver(notice);
        if (second_ != nullptr) {
            second_->Deliver(notice);
        }
    }

private:
    NotifySink& first_;
    NotifySink* second_;
};
