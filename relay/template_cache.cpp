#include "relay/template_cache.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <tuple>
#include <unordered_map>

#include "common/framed_stream.h"
#include "common/nf5.h"

namespace {

constexpr std::uint32_t none = UINT32_MAX;

// What a message's header names: whose templates, in which version.
struct group_key {
    net_address exporter;
    std::uint16_t port = 0;
    std::uint16_t version = 0;
    std::uint32_t domain = 0;
    friend bool operator==(const group_key&, const group_key&) = default;
};

bool before(const group_key& a, const group_key& b)
{
    return std::tie(a.exporter, a.port, a.version, a.domain) <
           std::tie(b.exporter, b.port, b.version, b.domain);
}

struct entry_key {
    group_key group;
    std::uint16_t template_id = 0;
    friend bool operator==(const entry_key&, const entry_key&) = default;
};

struct exporter_key {
    net_address exporter;
    std::uint16_t port = 0;
    friend bool operator==(const exporter_key&, const exporter_key&) = default;
};

// FNV-1a over the fields: forged exporters choose the keys, but a bad
// spread costs only time, and the cache is small.
struct fnv {
    std::uint64_t h = 14695981039346656037u;
    fnv& add(const void* p, std::size_t n)
    {
        for (std::size_t i = 0; i < n; ++i)
            h = (h ^ static_cast<const std::uint8_t*>(p)[i]) * 1099511628211u;
        return *this;
    }
    template <typename T> fnv& add(const T& v) { return add(&v, sizeof v); }
};

struct key_hash {
    std::size_t operator()(const exporter_key& k) const
    {
        return fnv{}.add(k.exporter.bytes.data(), 16).add(k.port).h;
    }
    std::size_t operator()(const group_key& k) const
    {
        return fnv{}.add(k.exporter.bytes.data(), 16).add(k.port).add(k.version).add(k.domain).h;
    }
    std::size_t operator()(const entry_key& k) const
    {
        return fnv{}.add((*this)(k.group)).add(k.template_id).h;
    }
};

struct links {
    std::uint32_t prev = none, next = none;
};

// Oldest refresh at the head.
struct chain {
    std::uint32_t head = none, tail = none;
};

struct entry {
    entry_key key;
    std::uint16_t set_id = 0;
    std::uint64_t time_ns = 0;  // last received, for the replayed frame's head
    long refreshed_ms = 0;
    std::vector<std::uint8_t> record;
    links all, mine;  // in the cache's order and in its exporter's
};

struct exporter_state {
    chain order;
    std::size_t count = 0, bytes = 0;
};

struct group_state {
    std::array<std::uint8_t, nf9_header_size> header{};  // of the group's last message
    std::size_t count = 0;
};

std::size_t header_size(std::uint16_t version)
{
    return version == nf9_version ? nf9_header_size : ipfix_header_size;
}

std::size_t padded(std::size_t n)
{
    return (n + 3) & ~std::size_t{3};
}

bool is_options(std::uint16_t set_id)
{
    return set_id == nf9_options_set || set_id == ipfix_options_set;
}

}  // namespace

struct template_cache::state {
    template_limits limits;
    std::vector<entry> slab;
    std::vector<std::uint32_t> free_slots;
    chain all;
    std::size_t count = 0, bytes = 0;
    std::unordered_map<exporter_key, exporter_state, key_hash> exporters;
    std::unordered_map<group_key, group_state, key_hash> groups;
    std::unordered_map<entry_key, std::uint32_t, key_hash> index;
    std::uint64_t generation = 0;
    // The group of the last message: an exporter's data messages come one
    // after another, and each brings a header to keep.
    group_key last_key;
    group_state* last_group = nullptr;

    group_state* find_group(const group_key& g)
    {
        if (last_group && last_key == g)
            return last_group;
        auto it = groups.find(g);
        if (it == groups.end())
            return nullptr;
        last_key = g;
        return last_group = &it->second;
    }

    void unlink(chain& c, std::uint32_t i, links entry::*l)
    {
        links& x = slab[i].*l;
        (x.prev != none ? (slab[x.prev].*l).next : c.head) = x.next;
        (x.next != none ? (slab[x.next].*l).prev : c.tail) = x.prev;
        x = {};
    }

    void push_back(chain& c, std::uint32_t i, links entry::*l)
    {
        links& x = slab[i].*l;
        x = {c.tail, none};
        (c.tail != none ? (slab[c.tail].*l).next : c.head) = i;
        c.tail = i;
    }

    static exporter_key exporter_of(const group_key& g) { return {g.exporter, g.port}; }

    void remove(std::uint32_t i)
    {
        entry& e = slab[i];
        const std::size_t size = e.record.size();
        unlink(all, i, &entry::all);
        auto ex = exporters.find(exporter_of(e.key.group));
        unlink(ex->second.order, i, &entry::mine);
        ex->second.bytes -= size;
        if (--ex->second.count == 0)
            exporters.erase(ex);
        auto g = groups.find(e.key.group);
        if (--g->second.count == 0) {
            if (last_group == &g->second)
                last_group = nullptr;
            groups.erase(g);
        }
        index.erase(e.key);
        --count;
        bytes -= size;
        std::vector<std::uint8_t>().swap(e.record);
        free_slots.push_back(i);
        ++generation;
    }

    void refresh(std::uint32_t i, long now_ms, std::uint64_t time_ns)
    {
        entry& e = slab[i];
        e.refreshed_ms = now_ms;
        e.time_ns = time_ns;
        unlink(all, i, &entry::all);
        push_back(all, i, &entry::all);
        exporter_state& ex = exporters.find(exporter_of(e.key.group))->second;
        unlink(ex.order, i, &entry::mine);
        push_back(ex.order, i, &entry::mine);
        ++generation;
    }

    // The latest record for its key wins; the same record again is a refresh.
    void put(const group_key& g, const template_record& r, long now_ms, std::uint64_t time_ns)
    {
        const entry_key key{g, r.template_id};
        const std::span<const std::uint8_t> bytes_in(r.bytes, r.size);
        if (auto it = index.find(key); it != index.end()) {
            entry& e = slab[it->second];
            if (e.set_id == r.set_id && std::ranges::equal(e.record, bytes_in)) {
                refresh(it->second, now_ms, time_ns);
                return;
            }
            remove(it->second);
        }
        // Records no replayed message could hold, or no bound could take.
        if (header_size(g.version) + 4 + padded(r.size) > framed_max_datagram ||
            r.size > limits.exporter_bytes || r.size > limits.bytes)
            return;
        const exporter_key ek = exporter_of(g);
        for (auto ex = exporters.find(ek);
             ex != exporters.end() && (ex->second.count + 1 > limits.exporter_templates ||
                                       ex->second.bytes + r.size > limits.exporter_bytes);
             ex = exporters.find(ek))
            remove(ex->second.order.head);
        while (count > 0 && (count + 1 > limits.templates || bytes + r.size > limits.bytes))
            remove(all.head);
        if (limits.templates == 0 || limits.exporter_templates == 0)
            return;

        std::uint32_t i;
        if (!free_slots.empty()) {
            i = free_slots.back();
            free_slots.pop_back();
        } else {
            i = static_cast<std::uint32_t>(slab.size());
            slab.emplace_back();
        }
        entry& e = slab[i];
        e.key = key;
        e.set_id = r.set_id;
        e.refreshed_ms = now_ms;
        e.time_ns = time_ns;
        e.record.assign(bytes_in.begin(), bytes_in.end());
        index.emplace(key, i);
        exporter_state& ex = exporters[ek];
        ++ex.count;
        ex.bytes += r.size;
        push_back(ex.order, i, &entry::mine);
        push_back(all, i, &entry::all);
        ++groups[g].count;
        ++count;
        bytes += r.size;
        ++generation;
    }

    // IPFIX: template id 2 in a template set withdraws every template of
    // the domain, id 3 in an options template set every options template.
    void withdraw(const group_key& g, const template_record& r)
    {
        if (r.template_id == r.set_id) {
            auto ex = exporters.find(exporter_of(g));
            std::uint32_t i = ex == exporters.end() ? none : ex->second.order.head;
            while (i != none) {
                const std::uint32_t next = slab[i].mine.next;
                if (slab[i].key.group == g && slab[i].set_id == r.set_id)
                    remove(i);
                i = next;
            }
        } else if (auto it = index.find({g, r.template_id}); it != index.end()) {
            remove(it->second);
        }
    }
};

template_cache::template_cache(const template_limits& limits) : s(std::make_unique<state>())
{
    s->limits = limits;
}

template_cache::~template_cache() = default;

void template_cache::learn(const net_address& exporter, std::uint16_t port,
                           const std::uint8_t* d, const checked_export& info,
                           std::span<const template_record> records, long now_ms,
                           std::uint64_t time_ns)
{
    if (info.length == 0 || (info.version != nf9_version && info.version != ipfix_version))
        return;
    const group_key g{exporter, port, info.version, info.domain};
    for (const template_record& r : records) {
        if (r.withdrawal)
            s->withdraw(g, r);
        else if (r.template_id >= first_data_set)  // lower ids can carry no data set
            s->put(g, r, now_ms, time_ns);
    }
    // The header of the exporter's last message goes on replayed ones.
    if (group_state* group = s->find_group(g)) {
        std::memcpy(group->header.data(), d, header_size(info.version));
        ++s->generation;
    }
}

void template_cache::expire(long now_ms)
{
    while (s->all.head != none && now_ms - s->slab[s->all.head].refreshed_ms >= s->limits.ttl_ms)
        s->remove(s->all.head);
}

namespace {

// One replayed message under way: templates received at one time, of one
// exporter and domain.
struct message_builder {
    const group_key* g = nullptr;
    std::uint64_t time_ns = 0;
    std::vector<const entry*> templates, options;
    std::size_t template_bytes = 0, option_bytes = 0;

    std::size_t size_with(std::size_t more_templates, std::size_t more_options) const
    {
        std::size_t n = header_size(g->version);
        if (template_bytes + more_templates > 0)
            n += 4 + padded(template_bytes + more_templates);
        if (option_bytes + more_options > 0)
            n += 4 + padded(option_bytes + more_options);
        return n;
    }

    bool empty() const { return templates.empty() && options.empty(); }

    void add(const entry& e)
    {
        (is_options(e.set_id) ? options : templates).push_back(&e);
        (is_options(e.set_id) ? option_bytes : template_bytes) += e.record.size();
    }

    static void put_set(std::vector<std::uint8_t>& out, std::uint16_t id,
                        const std::vector<const entry*>& records, std::size_t bytes)
    {
        if (records.empty())
            return;
        std::uint8_t head[4];
        store_be16(head, id);
        store_be16(head + 2, static_cast<std::uint16_t>(4 + padded(bytes)));
        out.insert(out.end(), head, head + 4);
        for (const entry* e : records)
            out.insert(out.end(), e->record.begin(), e->record.end());
        out.insert(out.end(), padded(bytes) - bytes, 0);
    }

    // Appends the frame and starts afresh.
    void flush(std::vector<std::uint8_t>& out, const group_state& group)
    {
        const std::size_t size = size_with(0, 0);
        const std::size_t at = out.size();
        out.resize(at + framed_head_size);
        framed_head h;
        h.length = static_cast<std::uint32_t>(framed_head_size + size);
        h.kind = framed_replayed;
        h.family = g->exporter.is_v4() ? 4 : 6;
        h.port = g->port;
        h.time_ns = time_ns;
        h.exporter = g->exporter;
        encode_framed_head(out.data() + at, h);
        const bool v9 = g->version == nf9_version;
        const std::size_t hs = header_size(g->version);
        out.insert(out.end(), group.header.begin(), group.header.begin() + static_cast<long>(hs));
        std::uint8_t* header = out.data() + at + framed_head_size;
        store_be16(header + 2, static_cast<std::uint16_t>(
                                   v9 ? templates.size() + options.size() : size));
        put_set(out, v9 ? nf9_template_set : ipfix_template_set, templates, template_bytes);
        put_set(out, v9 ? nf9_options_set : ipfix_options_set, options, option_bytes);
        templates.clear();
        options.clear();
        template_bytes = option_bytes = 0;
    }
};

}  // namespace

std::size_t template_cache::replay(std::vector<std::uint8_t>& out) const
{
    // Each exporter's and domain's entries together, oldest refresh first.
    std::vector<const entry*> order;
    order.reserve(s->count);
    for (std::uint32_t i = s->all.head; i != none; i = s->slab[i].all.next)
        order.push_back(&s->slab[i]);
    std::ranges::stable_sort(order, [](const entry* a, const entry* b) {
        return before(a->key.group, b->key.group);
    });
    std::size_t frames = 0;
    message_builder m;
    const group_state* group = nullptr;
    for (const entry* e : order) {
        const bool options = is_options(e->set_id);
        const std::size_t n = e->record.size();
        if (!m.empty() && (!(*m.g == e->key.group) || m.time_ns != e->time_ns ||
                           m.size_with(options ? 0 : n, options ? n : 0) > framed_max_datagram)) {
            m.flush(out, *group);
            ++frames;
        }
        if (m.empty()) {
            m.g = &e->key.group;
            m.time_ns = e->time_ns;
            group = &s->groups.find(e->key.group)->second;
        }
        m.add(*e);
    }
    if (!m.empty()) {
        m.flush(out, *group);
        ++frames;
    }
    return frames;
}

std::size_t template_cache::size() const
{
    return s->count;
}

std::size_t template_cache::bytes() const
{
    return s->bytes;
}

std::uint64_t template_cache::generation() const
{
    return s->generation;
}
