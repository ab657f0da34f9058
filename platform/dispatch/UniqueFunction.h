// A move-only callable wrapper: like std::function, but it takes callables that cannot be copied
// (a lambda holding a std::promise or a std::unique_ptr). Small callables that move without
// throwing are kept inline; larger ones on the heap.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <new>
#include <type_traits>
#include <utility>

namespace dispatch {

template <typename Signature>
class UniqueFunction;

template <typename R, typename... Args>
class UniqueFunction<R(Args...)> {
  public:
    UniqueFunction() noexcept = default;
    UniqueFunction(std::nullptr_t) noexcept {}

    template <typename F, typename D = std::decay_t<F>,
              typename = std::enable_if_t<!std::is_same_v<D, UniqueFunction> &&
                                          std::is_invocable_r_v<R, D&, Args...>>>
    UniqueFunction(F&& f) {
        // An empty std::function or a null function pointer makes an empty wrapper, as it does
        // for std::function.
        if constexpr (std::is_pointer_v<D> || std::is_member_pointer_v<D>) {
            if (f == nullptr) return;
        } else if constexpr (isStdFunction<D>::value) {
            if (!f) return;
        }
        if constexpr (fitsInline<D>()) {
            ::new (static_cast<void*>(&storage_)) D(std::forward<F>(f));
            ops_ = &inlineOps<D>;
        } else {
            *reinterpret_cast<D**>(&storage_) = new D(std::forward<F>(f));
            ops_ = &heapOps<D>;
        }
    }

    UniqueFunction(UniqueFunction&& other) noexcept { takeFrom(other); }

    UniqueFunction& operator=(UniqueFunction&& other) noexcept {
        if (this != &other) {
            reset();
            takeFrom(other);
        }
        return *this;
    }

    UniqueFunction& operator=(std::nullptr_t) noexcept {
        reset();
        return *this;
    }

    template <typename F, typename = std::enable_if_t<std::is_constructible_v<UniqueFunction, F&&> &&
                                                      !std::is_same_v<std::decay_t<F>, UniqueFunction>>>
    UniqueFunction& operator=(F&& f) {
        UniqueFunction tmp(std::forward<F>(f));
        return *this = std::move(tmp);
    }

    UniqueFunction(const UniqueFunction&) = delete;
    UniqueFunction& operator=(const UniqueFunction&) = delete;

    ~UniqueFunction() { reset(); }

    explicit operator bool() const noexcept { return ops_ != nullptr; }
    friend bool operator==(const UniqueFunction& f, std::nullptr_t) noexcept { return !f; }

    // Calling an empty wrapper throws std::bad_function_call, as std::function does.
    R operator()(Args... args) const {
        if (!ops_) throw std::bad_function_call();
        return ops_->invoke(&storage_, std::forward<Args>(args)...);
    }

  private:
    struct Storage {
        alignas(std::max_align_t) std::byte bytes[3 * sizeof(void*)];
    };

    struct Ops {
        R (*invoke)(Storage*, Args&&...);
        // Moves the callable from the first storage into the second and ends the first.
        void (*move)(Storage*, Storage*) noexcept;
        void (*destroy)(Storage*) noexcept;
    };

    template <typename T>
    struct isStdFunction : std::false_type {};
    template <typename S>
    struct isStdFunction<std::function<S>> : std::true_type {};

    template <typename D>
    static constexpr bool fitsInline() {
        return sizeof(D) <= sizeof(Storage) && alignof(D) <= alignof(Storage) &&
               std::is_nothrow_move_constructible_v<D>;
    }

    template <typename D>
    static constexpr Ops inlineOps{
        [](Storage* s, Args&&... args) -> R {
            return std::invoke(*std::launder(reinterpret_cast<D*>(s)), std::forward<Args>(args)...);
        },
        [](Storage* from, Storage* to) noexcept {
            D* src = std::launder(reinterpret_cast<D*>(from));
            ::new (static_cast<void*>(to)) D(std::move(*src));
            src->~D();
        },
        [](Storage* s) noexcept { std::launder(reinterpret_cast<D*>(s))->~D(); },
    };

    template <typename D>
    static constexpr Ops heapOps{
        [](Storage* s, Args&&... args) -> R {
            return std::invoke(**reinterpret_cast<D**>(s), std::forward<Args>(args)...);
        },
        [](Storage* from, Storage* to) noexcept {
            *reinterpret_cast<D**>(to) = *reinterpret_cast<D**>(from);
        },
        [](Storage* s) noexcept { delete *reinterpret_cast<D**>(s); },
    };

    void takeFrom(UniqueFunction& other) noexcept {
        if (!other.ops_) return;
        other.ops_->move(&other.storage_, &storage_);
        ops_ = other.ops_;
        other.ops_ = nullptr;
    }

    void reset() noexcept {
        if (!ops_) return;
        // Cleared first: the callable's destructor may reach back into this wrapper's owner.
        const Ops* ops = ops_;
        ops_ = nullptr;
        ops->destroy(&storage_);
    }

    // Mutable: a call through a const wrapper may change the callable's state, as with std::function.
    mutable Storage storage_;
    const Ops* ops_ = nullptr;
};

}  // namespace dispatch
