// A unit of work for the compression pool, and what a writer needs of whoever runs it.
#pragma once

#include <cstddef>
#include <memory>
#include <utility>

namespace kestrel::bgzf {

// A move-only closure run once on some worker thread.
class Job {
public:
    template <class Function>
    explicit Job(Function function) : body_(std::make_unique<Body<Function>>(std::move(function))) {}

    void operator()() { body_->run(); }

private:
    struct BodyBase {
        virtual ~BodyBase() = default;
        virtual void run() = 0;
    };
    template <class Function>
    struct Body final : BodyBase {
        explicit Body(Function f) : function(std::move(f)) {}
        void run() override { function(); }
        Function function;
    };
    std::unique_ptr<BodyBase> body_;
};

// Runs independent jobs later, in any order, possibly concurrently. The writer uses
// the process-wide pool; tests substitute runners that control the order.
class JobRunner {
public:
    virtual size_t thread_count() const = 0;
    virtual void submit(Job job) = 0;

protected:
    ~JobRunner() = default;
};

}  // namespace kestrel::bgzf
