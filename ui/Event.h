// Events of the controls: handlers are called in the order they were added, synchronously, for
// programmatic changes too. A handler added with a context object is dropped once that object is
// gone, so a page's handlers never run on a destroyed page.
#pragma once

#include <QPointer>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <utility>
#include <vector>

namespace ui {

using EventToken = std::int64_t;

template <class... Args>
class Event {
public:
    using Handler = std::function<void(Args...)>;

    EventToken Add(Handler handler) { return add(nullptr, false, std::move(handler)); }
    EventToken Add(QObject* context, Handler handler) { return add(context, true, std::move(handler)); }
    void Remove(EventToken token) {
        slots_.erase(std::remove_if(slots_.begin(), slots_.end(), [token](const Slot& s) { return s.token == token; }),
                     slots_.end());
    }
    bool Empty() const { return slots_.empty(); }

    // Handlers removed by an earlier handler of the same call are not called.
    void Invoke(Args... args) const {
        std::vector<EventToken> tokens;
        tokens.reserve(slots_.size());
        for (const Slot& s : slots_) tokens.push_back(s.token);
        for (EventToken token : tokens) {
            auto found = std::find_if(slots_.begin(), slots_.end(), [token](const Slot& s) { return s.token == token; });
            if (found == slots_.end()) continue;
            if (found->weak && found->context.isNull()) continue;
            Handler handler = found->handler;
            handler(args...);
        }
    }

private:
    struct Slot {
        EventToken token;
        QPointer<QObject> context;
        bool weak;
        Handler handler;
    };

    EventToken add(QObject* context, bool weak, Handler handler) {
        slots_.push_back(Slot{next_, context, weak, std::move(handler)});
        return next_++;
    }

    std::vector<Slot> slots_;
    EventToken next_ = 1;
};

}  // namespace ui
