#pragma once

#include "BridgeControlService.h"

#include <QCoroTask>
#include <QEventLoop>
#include <QTimer>

#include <exception>
#include <optional>
#include <type_traits>
#include <variant>

// Runs a coroutine to its end in a nested event loop and passes its exception on, which
// QCoro::waitFor does not. One still running after `limitMs` aborts: its frame would outlive us.
template <typename T>
T awaitTask(QCoro::Task<T> task, int limitMs = 120000)
{
    std::optional<std::conditional_t<std::is_void_v<T>, std::monostate, T>> result;
    std::exception_ptr error;
    bool done = false;
    QEventLoop loop;
    const auto body = [&]() -> QCoro::Task<> {
        try {
            if constexpr (std::is_void_v<T>)
                co_await task;
            else
                result.emplace(co_await task);
        } catch (...) {
            error = std::current_exception();
        }
        done = true;
        loop.quit();
    };
    QTimer::singleShot(limitMs, &loop, [] { qFatal("coroutine did not finish in time"); });
    const QCoro::Task<> running = body();
    if (!done)
        loop.exec();
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

// The service with its resource directory chosen by the test.
class TestBridgeControlService : public BridgeControlService
{
public:
    using BridgeControlService::BridgeControlService;
    std::optional<QString> resources;

protected:
    std::optional<QString> resourcesDirectory() const override { return resources; }
};
