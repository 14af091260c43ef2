#include "devices/input_sink.h"

#include <algorithm>

#include "engine/engine.h"

namespace zibrel::qorzibrel {
namespace {

class engine_adapter final : public input_sink {
public:
    explicit engine_adapter(const std::shared_ptr<engine>& e) : engine_(e), full_scale_(e->full_scale()) {}
    bool wants_input() const override {
        auto e = engine_.lock();
        return e != nullptr && e->accepts_input();
    }
    bool exclusive() const override { return true; }
    double full_scale() const override { return full_scale_; }
    void sample(const axes& deflection) override {
        if (auto e = engine_.lock()) e->push_sample(-1, deflection);
    }
    void button(int number, bool pressed) override {
        if (auto e = engine_.lock()) e->push_button(-1, number, pressed);
    }

private:
    std::weak_ptr<engine> engine_;
    double full_scale_;
};

}  // namespace

std::shared_ptr<input_sink> engine_sink(const std::shared_ptr<engine>& target) {
    return std::make_shared<engine_adapter>(target);
}

void sink_list::add(const std::shared_ptr<input_sink>& sink) { sinks_.push_back(sink); }

std::vector<std::shared_ptr<input_sink>> sink_list::receivers() {
    std::erase_if(sinks_, [](const std::shared_ptr<input_sink>& s) { return !s->wants_input(); });
    std::vector<std::shared_ptr<input_sink>> out;
    bool exclusive_taken = false;
    for (auto it = sinks_.rbegin(); it != sinks_.rend(); ++it) {
        if ((*it)->exclusive()) {
            if (exclusive_taken) continue;
            exclusive_taken = true;
        }
        out.push_back(*it);
    }
    return out;
}

bool sink_list::empty() { return receivers().empty(); }

}  // namespace zibrel::qorzibrel
