// The generator object of `random`: the layout of _random.Random and the
// reader of its words (`Words`), which draws in place from the interpreter's
// own state through a block of tempered words (cursor.hpp).
#pragma once

#include "core/refs.hpp"
#include "mt/cursor.hpp"

namespace vandrel::mt {

// The object layout of _random.Random (Modules/_randommodule.c). It is not
// trusted blindly: the guard compares it with the C type's own getstate() and
// getrandbits() on two probe generators before any native row.
struct MTObject {
    PyObject_HEAD int index;
    uint32_t state[MT_N];
};

// The words of a generator as its genrand_uint32 gives them, read from a block
// of tempered words: the block is filled at each refill, or, for words the
// generator had before, tempered one at a time until the first refill
// (`temper_rest` does them at once). The state and index of the generator are
// the interpreter's as ever; the block is only a copy, and the caller keeps it
// valid (nothing else may draw from the generator while it is used). The index
// goes back to the generator when the reader ends.
class Words {
  public:
    // `tempered` holds MT_N words; `valid` says whether it holds the tempered
    // words of the generator from its index on, and is kept up to date.
    Words(MTObject* mt, uint32_t* tempered, bool& valid) noexcept
        : mt_(mt), tempered_(tempered), valid_out_(valid), valid_(valid), index_(mt->index) {}
    Words(const Words&) = delete;
    Words(Words&&) = delete;
    Words& operator=(const Words&) = delete;
    Words& operator=(Words&&) = delete;
    ~Words() {
        mt_->index = index_;
        valid_out_ = valid_;
    }

    uint32_t next() noexcept {
        if (index_ >= MT_N) refill();
        const uint32_t w = valid_ ? tempered_[index_] : mt_temper(mt_->state[index_]);
        ++index_;
        return w;
    }
    // The words left before the next refill, tempered now.
    void temper_rest() noexcept {
        if (valid_) return;
        for (int i = index_; i < MT_N; ++i) tempered_[i] = mt_temper(mt_->state[i]);
        valid_ = true;
    }

    // The position of the reader as a Cursor, for a loop that keeps it in
    // registers (no store of a character can alias a local whose address is
    // not taken), put back when the lease ends, an exception's included.
    class Lease {
      public:
        explicit Lease(Words& w) noexcept
            : words_(w), at_{w.mt_->state, w.tempered_, w.tempered_ + w.index_} {
            w.temper_rest();
        }
        Lease(const Lease&) = delete;
        Lease(Lease&&) = delete;
        Lease& operator=(const Lease&) = delete;
        Lease& operator=(Lease&&) = delete;
        ~Lease() { words_.index_ = at_.index(); }
        Cursor& cursor() noexcept { return at_; }

      private:
        Words& words_;
        Cursor at_;
    };

    template <class Char>
    void picks(Char* dst, uint32_t times, const uint32_t* table, uint32_t size,
               uint8_t shift) noexcept {
        Lease lease(*this);
        lease.cursor().picks(dst, times, table, size, shift);
    }

  private:
    void refill() noexcept {
        mt_refill(mt_->state, tempered_);
        index_ = 0;
        valid_ = true;
    }

    MTObject* mt_;
    uint32_t* tempered_;
    bool& valid_out_;
    bool valid_;
    int index_;
};

}  // namespace vandrel::mt
