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
    queue->redraw_at = std::string::npos;
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

namespace {

// Hands screen bytes on: to the writer when it runs, else written at once.
void put(Console* s, const std::string& bytes) {
    if (bytes.empty()) return;
    if (!s->queue.writer) {
        std::fputs(bytes.c_str(), stdout);
        std::fflush(stdout);
        return;
    }
    // The writer only sleeps once it found the queue empty: a nudge is needed only then.
    const bool idle = s->queue.text.empty();
    console_queue_add(&s->queue, bytes.c_str());
    if (idle) platform::waker_nudge(&s->wake);
}

// The text above the input line, and the input drawn again: one write for the writer.
void put_above(Console* s, const char* text) {
    LineEditor* e = s->editor;
    std::string screen;
    ConsoleQueue& q = s->queue;
    if (q.writer && q.redraw_at != std::string::npos && q.redraw_at <= q.text.size()) {
        q.text.resize(q.redraw_at);  // never drawn: the screen is at a fresh row below the last text
        e->shown = false;
    }
    editor_hide(e, &screen);
    screen += terminal_text(text, e->colour);
    const std::size_t redraw = screen.size();
    editor_show(e, &screen);
    const std::size_t before = q.text.size();
    put(s, screen);
    if (q.writer && q.dropped == 0) q.redraw_at = before + redraw;
}

}  // namespace

void console_write(Console* s, const char* text) {
    if (s->editor != nullptr) {
        put_above(s, text);
    } else {
        put(s, text);
    }
}

std::string terminal_text(const char* text, bool colour) {
    std::string t(text);
    if (!t.empty() && t.front() == '\n') t.erase(0, 1);
    if (t.size() >= 2 && t.compare(t.size() - 2, 2, "> ") == 0) t.resize(t.size() - 2);
    if (t.empty()) return t;
    if (t.back() != '\n') t += '\n';
    if (!colour) return t;
    const char* on = t.starts_with("[Peer]: ") ? kColourPeer : kColourNotice;
    std::string shown;
    for (std::size_t at = 0, end; at < t.size(); at = end + 1) {
        end = t.find('\n', at);
        shown.append(on).append(t, at, end - at).append(kColourOff).append("\n");
    }
    return shown;
}

void console_edit_begin(Console* s, LineEditor* editor) {
    platform::lock_enter(&s->lock);
    s->editor = editor;
    // From the row's start, cleared: a notice said just before, in its pipe form, may have left
    // its "> " there.
    std::string screen = "\x1b[1G\x1b[K";
    editor_show(editor, &screen);
    put(s, screen);
    platform::lock_leave(&s->lock);
}

void console_keys(Console* s, const char* keys, std::size_t size, EditorOutput* out) {
    platform::lock_enter(&s->lock);
    editor_keys(s->editor, keys, size, out);
    s->queue.redraw_at = std::string::npos;
    put(s, out->screen);
    platform::lock_leave(&s->lock);
}

void console_resize(Console* s, int width) {
    platform::lock_enter(&s->lock);
    std::string screen;
    editor_resize(s->editor, width, &screen);
    s->queue.redraw_at = std::string::npos;
    put(s, screen);
    platform::lock_leave(&s->lock);
}

void console_edit_end(Console* s) {
    platform::lock_enter(&s->lock);
    std::string screen;
    if (s->editor != nullptr) editor_hide(s->editor, &screen);
    s->editor = nullptr;
    s->queue.redraw_at = std::string::npos;
    put(s, screen);
    platform::lock_leave(&s->lock);
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
