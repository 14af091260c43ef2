// Where the library's live device readers (spacenavd, hidraw) deliver input:
// a connection's engine (which implements this interface), or a monitor of raw
// input. The readers run on threads of their own and never block on a sink.
#pragma once

#include <memory>
#include <vector>

#include "devices/device_input.h"

namespace zibrel::qorzibrel {

class input_sink {
public:
    virtual ~input_sink() = default;
    // Still open: input for it is worth delivering.
    virtual bool wants_input() const = 0;
    // Engines take input one at a time, the newest one; monitors see everything.
    virtual bool exclusive() const = 0;
    // A raw spacenavd value of full deflection.
    virtual double full_scale() const = 0;
    // Live input: fractions of full deflection within [-1, 1].
    virtual void sample(const axes& deflection) = 0;
    virtual void button(int number, bool pressed) = 0;
    // Frames on the application's thread take this sink's input (application
    // timing): while it moves the view, a reader may leave its reading to them.
    virtual bool reads_on_frames() const { return false; }
};

// The sinks of a reader: the newest open exclusive one and every open monitor.
// Held until they stop wanting input (an engine's sink holds its engine weakly).
class sink_list {
public:
    void add(const std::shared_ptr<input_sink>& sink);
    // Forgets the closed ones; empty when nobody listens.
    std::vector<std::shared_ptr<input_sink>> receivers();

private:
    std::vector<std::shared_ptr<input_sink>> sinks_;
};

}  // namespace zibrel::qorzibrel
