#include "console/output.h"

#include "console/events.h"

#include <cstdarg>
#include <cstdio>

bool console_queue_add(ConsoleQueue* queue, const char* text) {
    const std::size_t size = std::char_traits<char>::length(text);
    // Once one text is dropped, so is everything after it until the writer takes the queue:
    // the notice then stands where the gap is.
    if (queue->dropped > 0 || queue->text.size() + size > queue->limit) {
        ++queue->dropped;
        return false;
    }
    queue->text.append(text, size);
    return true;
}

void console_queue_take(ConsoleQueue* queue, std::string* out) {
    out->clear();
    out->swap(queue->text);
    if (queue->dropped == 0) return;
    out->append(words_for(Event::output_dropped, {.count = queue->dropped}));
    queue->dropped = 0;
}

namespace {

int console_loop(void* arg) {
    auto* s = static_cast<Console*>(arg);
    std::string batch;
    for (bool stopping = false;;) {
        platform::lock_enter(&s->lock);
        console_queue_take(&s->queue, &batch);
        // Ends only with nothing left, and hands the console back under the same lock.
        if (batch.empty() && stopping) s->queue.writer = false;
        platform::lock_leave(&s->lock);
        if (!batch.empty()) {
            platform::write_out(batch.data(), batch.size());  // nothing to do when it fails
        } else if (stopping) {
            return 0;
        } else {
            stopping = platform::wait_stop(&s->wake, platform::kForever);
        }
    }
}

}  // namespace

bool console_start(Console* s) {
    std::fflush(stdout);  // what was printed before comes first
    s->queue.writer = true;
    if (platform::thread_start(&s->thread, console_loop, s)) return true;
    s->queue.writer = false;
    console_write(s, words_for(Event::thread_failed, {.text = "console"}).c_str());
    return false;
}

bool console_stop(Console* s, std::uint32_t limit_ms) {
    platform::waker_signal(&s->wake);
    const bool ended = platform::thread_wait(s->thread, limit_ms);
    platform::thread_close(&s->thread);
    return ended;
}

void console_write(Console* s, const char* text) {
    if (!s->queue.writer) {
        std::fputs(text, stdout);
        std::fflush(stdout);
        return;
    }
    // The writer only sleeps once it found the queue empty: a nudge is needed only then.
    const bool idle = s->queue.text.empty();
    console_queue_add(&s->queue, text);
    if (idle) platform::waker_nudge(&s->wake);
}

void safe_print(Console* s, const char* text) {
    platform::lock_enter(&s->lock);
    console_write(s, text);
    platform::lock_leave(&s->lock);
}

void safe_printf(Console* s, const char* format, ...) {
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    safe_print(s, text);
}

bool console_init(Console* console) {
    console->queue = ConsoleQueue{};
    console->thread = platform::Thread{nullptr};
    if (!platform::waker_open(&console->wake)) return false;
    platform::lock_init(&console->lock);
    return true;
}

void console_destroy(Console* console) {
    platform::lock_destroy(&console->lock);
    platform::waker_close(&console->wake);
}
