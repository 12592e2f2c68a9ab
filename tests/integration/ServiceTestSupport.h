#pragma once

#include "BridgeControlService.h"

#include <QCoroTask>

#include <exception>
#include <optional>
#include <type_traits>
#include <variant>

// Runs a coroutine to its end in a nested event loop and passes its exception on, which
// QCoro::waitFor alone does not: it never returns when the coroutine throws.
template <typename T>
T awaitTask(QCoro::Task<T> task)
{
    using Result = std::conditional_t<std::is_void_v<T>, std::monostate, T>;
    std::exception_ptr error;
    const auto caught = [&]() -> QCoro::Task<std::optional<Result>> {
        try {
            if constexpr (std::is_void_v<T>)
                co_await task;
            else
                co_return co_await task;
        } catch (...) {
            error = std::current_exception();
        }
        co_return std::nullopt;
    };
    std::optional<Result> result = QCoro::waitFor(caught());
    if (error)
        std::rethrow_exception(error);
    if constexpr (!std::is_void_v<T>)
        return std::move(*result);
}

// The BridgeControlError a coroutine ends with; absent when it succeeds or fails otherwise.
template <typename T>
std::optional<BridgeControlError> controlErrorOf(QCoro::Task<T> task)
{
    try {
        awaitTask(std::move(task));
    } catch (const BridgeControlError &error) {
        return error;
    } catch (...) {
    }
    return std::nullopt;
}

class TestBridgeControlService : public BridgeControlService // resources chosen by the test
{
public:
    using BridgeControlService::BridgeControlService;
    std::optional<QString> resources;

protected:
    std::optional<QString> resourcesDirectory() const override { return resources; }
};
