// Removal under load, over and over: a camera pulled out, or the whole
// machine stopped, while requests are in flight on it. Each kind of load is
// an InFlight; the runners repeat it and check that every request ends,
// nothing hangs, and the driver keeps nothing afterwards.
#pragma once

#include <functional>
#include <memory>

namespace driver_test {

// Requests put in flight on camera instance 0, to be ended by its removal.
class InFlight {
public:
    virtual ~InFlight() = default;
    // Opens its handles and puts its requests in flight; returns once they
    // have reached the USB stack.
    virtual void Start() = 0;
    // Waits, bounded, for every request to end (a request that never ends
    // stops the program), then closes the handles.
    virtual void Finish() = 0;
};

using InFlightFactory = std::function<std::unique_ptr<InFlight>()>;

// Plugs a camera, starts the load and pulls the camera out (a surprise
// removal), `rounds` times; after each round the driver holds no device
// object and no pool block beyond its load-time ones.
void RepeatUnplugs(int rounds, const InFlightFactory &make);

// Plugs a camera, starts the load and stops the machine on another thread
// (which unloads the driver with the verifier's leak checks), then starts
// the machine again, `rounds` times. The machine ends as the driver tests
// start it (no camera, fast timing).
void RepeatMachineStops(int rounds, const InFlightFactory &make);

}  // namespace driver_test
