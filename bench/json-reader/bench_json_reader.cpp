// Throughput and tree size of the JSON reader beside QJsonDocument::fromJson and, where its headers are installed,
// RapidJSON's DOM parser, on the same bytes in memory, all three read from the UTF-8 bytes. The sides take turns batch
// after batch; throughput is the median of a side's batches, a ratio the median of the ratios within each round.
//
//   bench_json_reader [--quick] [--give-back] [--only NAME_PART] [FOLDER_WITH_canada_citm_catalog_twitter]
//   bench_json_reader --write-page BYTES FILE     writes one generated search page of about BYTES to FILE
#include "JSON.h"

#include <QByteArray>
#include <QFile>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QString>

#include <malloc.h>
#include <sys/resource.h>

#ifdef VANTORIA_HAVE_RAPIDJSON
#include <rapidjson/document.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// A page shaped like the marketplace's search answer: paging, then results with ids, titles, prices and
// attributes, repeated until the page reaches the wanted size.
QByteArray searchPage(qsizetype bytes, quint32 seed) {
    static const char* words[] = {"Teléfono", "Celular", "Nevera", "Licuadora", "Cocina",   "Zapatos",  "Camisa",
                                  "Pañales",  "Café",    "Azúcar", "Lámpara",   "Cargador", "Batería",  "Cámara",
                                  "Guitarra", "Niño",    "Señora", "Oferta",    "Envío",    "Garantía", "Original"};
    static const char* brands[] = {"Samsung", "Xiaomi", "Mabe", "Oster", "Nike", "Adidas", "Huggies", "Nescafé"};
    QRandomGenerator rng(seed);
    auto pick = [&](auto& list) { return list[rng.bounded(int(std::size(list)))]; };
    QByteArray out;
    out.reserve(bytes + 4096);
    out += "{\"site_id\":\"MLV\",\"seller\":{\"id\":123456789,\"nickname\":\"TIENDA.VANTORIA\",\"tags\":[\"normal\"]},";
    out += "\"paging\":{\"total\":0,\"primary_results\":0,\"offset\":0,\"limit\":20},\"results\":[";
    int n = 0;
    while (out.size() < bytes - 64 || n == 0) {
        if (n > 0) {
            out += ',';
        }
        QByteArray title;
        for (int w = 0, count = 3 + int(rng.bounded(6)); w < count; ++w) {
            title += (w ? " " : "");
            title += pick(words);
        }
        out += "{\"id\":\"MLV" + QByteArray::number(600000000 + rng.bounded(99999999)) + "\",";
        out += "\"title\":\"" + title + " \\\"" + pick(brands) + "\\\"\",";
        out += "\"price\":" + QByteArray::number(rng.bounded(1, 5000000) / 100.0, 'f', 2) + ",";
        out += "\"currency_id\":\"USD\",\"available_quantity\":" + QByteArray::number(rng.bounded(500)) + ",";
        out += "\"condition\":\"new\",\"permalink\":\"https://articulo.example.com/MLV-" +
               QByteArray::number(rng.bounded(99999999)) + "\",";
        out += "\"accepts_mercadopago\":true,\"shipping\":{\"free_shipping\":false,\"mode\":\"me2\",\"tags\":[]},";
        out += "\"attributes\":[{\"id\":\"BRAND\",\"name\":\"Marca\",\"value_name\":\"" + QByteArray(pick(brands)) +
               "\"},{\"id\":\"ITEM_CONDITION\",\"name\":\"Condición del ítem\",\"value_name\":\"Nuevo\"}]}";
        ++n;
    }
    out += "],\"sort\":{\"id\":\"relevance\",\"name\":\"Más relevantes\"},\"available_filters\":[]}";
    out.replace("\"total\":0,\"primary_results\":0",
                "\"total\":" + QByteArray::number(n) + ",\"primary_results\":" + QByteArray::number(n));
    return out;
}

long pageFaults() {
    struct rusage usage {};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_minflt;
}

size_t heapInUse() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

struct Side {
    Side(const char* n, std::function<void*()> p, std::function<void(void*)> d)
        : name(n), parse(std::move(p)), drop(std::move(d)) {}
    const char* name;
    std::function<void*()> parse;
    std::function<void(void*)> drop;
    std::vector<double> times;   // seconds per parse, one per batch
    std::vector<double> faults;  // page faults per parse, one per batch
    double treeBytes = 0;
    static double median(std::vector<double> of) {
        std::sort(of.begin(), of.end());
        return of[of.size() / 2];
    }
    double median() { return median(times); }
};

// Batches of every side alternate until the time is up (at least five rounds), so that all meet the same load on
// the machine. The tree is weighed afterwards, once the heap has settled.
void measure(const QByteArray& bytes, std::vector<Side>& sides, double seconds) {
    const int batch = std::max<int>(1, int(2e5 / std::max<qsizetype>(bytes.size(), 1)));
    const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
    for (int round = 0; round < 5 || Clock::now() < deadline; ++round) {
        for (Side& side : sides) {
            const long faultsBefore = pageFaults();
            const auto start = Clock::now();
            for (int i = 0; i < batch; ++i) {
                side.drop(side.parse());
            }
            side.times.push_back(std::chrono::duration<double>(Clock::now() - start).count() / batch);
            side.faults.push_back(double(pageFaults() - faultsBefore) / batch);
        }
    }
    // Several trees are held at once so that the allocator's small caches do not hide what one tree takes.
    const int copies = std::max<int>(1, int(8e6 / std::max<qsizetype>(bytes.size(), 1)));
    for (Side& side : sides) {
        std::vector<void*> trees;
        trees.reserve(copies);
        const size_t before = heapInUse();
        for (int i = 0; i < copies; ++i) {
            trees.push_back(side.parse());
        }
        const size_t after = heapInUse();
        for (void* tree : trees) {
            side.drop(tree);
        }
        side.treeBytes = double(after > before ? after - before : 0) / copies;
    }
}

QString only;

bool wanted(const char* name) {
    return only.isEmpty() || QString::fromUtf8(name).contains(only);
}

void report(const char* name, const QByteArray& bytes, double seconds) {
    std::vector<Side> sides;
    sides.emplace_back(
        "ours", [&]() -> void* { return new json::ParseOutcome(json::parseJsonUtf8(bytes)); },
        [](void* p) { delete static_cast<json::ParseOutcome*>(p); });
    sides.emplace_back(
        "Qt", [&]() -> void* { return new QJsonDocument(QJsonDocument::fromJson(bytes)); },
        [](void* p) { delete static_cast<QJsonDocument*>(p); });
#ifdef VANTORIA_HAVE_RAPIDJSON
    sides.emplace_back(
        "RapidJSON",
        [&]() -> void* {
            auto* d = new rapidjson::Document;
            d->Parse(bytes.constData(), size_t(bytes.size()));
            return d;
        },
        [](void* p) { delete static_cast<rapidjson::Document*>(p); });
#endif
    measure(bytes, sides, seconds);
    // The machine's speed drifts over seconds; a ratio is taken within each round, where the sides ran one after
    // the other, and the median of those is printed.
    std::vector<std::vector<double>> ratios(sides.size());
    for (size_t i = 1; i < sides.size(); ++i) {
        for (size_t round = 0; round < sides[0].times.size(); ++round) {
            ratios[i].push_back(sides[i].times[round] / sides[0].times[round]);
        }
    }
    const double oursMb = bytes.size() / sides[0].median() / 1e6;
    std::printf("%-22s %10.1f KB | ours %7.1f MB/s", name, bytes.size() / 1024.0, oursMb);
    for (size_t i = 1; i < sides.size(); ++i) {
        const double mb = bytes.size() / sides[i].median() / 1e6;
        std::printf(" | %s %7.1f MB/s, ours %4.2fx", sides[i].name, mb, Side::median(ratios[i]));
    }
    std::printf(" | tree %5.2fx input", sides[0].treeBytes / bytes.size());
    for (size_t i = 1; i < sides.size(); ++i) {
        std::printf(" (%s %5.2fx)", sides[i].name, sides[i].treeBytes / bytes.size());
    }
    std::printf(" | page faults per parse");
    for (Side& side : sides) {
        std::printf(" %.0f", Side::median(side.faults));
    }
    std::printf("\n");
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 4 && qstrcmp(argv[1], "--write-page") == 0) {
        QFile file(QString::fromLocal8Bit(argv[3]));
        const QByteArray page = searchPage(QByteArray(argv[2]).toLongLong(), 4);
        if (!file.open(QIODevice::WriteOnly) || file.write(page) != page.size()) {
            std::fprintf(stderr, "bench_json_reader: cannot write %s\n", argv[3]);
            return 2;
        }
        return 0;
    }
    // The heap as a program that has run a while leaves it: glibc raises its mmap threshold by itself the first time
    // a large block is freed. Fixed here so that every input and every side meets the same heap whatever ran before
    // it (with --only, or in another order). Freed memory is not given back between parses: at glibc's own trim
    // threshold (64 MB) a side whose tree outgrew what the one before it left in the heap had it given back and
    // faulted in again at every parse, at 13 us a page on the development machine, and the 40 MB page's figure went
    // from one run to the next with which side that was (ours against RapidJSON from 0.33 to 1.07 on one build).
    // The page faults of each parse are printed beside the times; --give-back keeps glibc's own threshold, to see
    // what a larger tree costs in them.
    double seconds = 2.0;
    int trimMegabytes = 1024;
    QString folder = QStringLiteral(VANTORIA_BENCH_DATA_DIR);
    for (int i = 1; i < argc; ++i) {
        const QString arg = QString::fromLocal8Bit(argv[i]);
        if (arg == "--quick") {
            seconds = 0.3;
        } else if (arg == "--give-back") {
            trimMegabytes = 64;
        } else if (arg == "--only" && i + 1 < argc) {
            only = QString::fromLocal8Bit(argv[++i]);
        } else {
            folder = arg;
        }
    }
    mallopt(M_MMAP_THRESHOLD, 32 * 1024 * 1024);
    mallopt(M_TRIM_THRESHOLD, trimMegabytes * 1024 * 1024);
    std::printf(
        "throughput counts input bytes, median of the rounds; ours Nx = our MB/s / the peer's (above 1 is "
        "faster)\n");
    const struct {
        const char* name;
        qsizetype bytes;
        quint32 seed;
        double seconds;
    } pages[] = {{"search page 1 KB", 1024, 1, seconds},
                 {"search page 100 KB", 100 * 1024, 2, seconds},
                 {"search page 10 MB", 10 * 1024 * 1024, 3, seconds * 2},
                 {"search page 40 MB", 40 * 1024 * 1024, 5, seconds * 4}};
    for (const auto& page : pages) {
        if (wanted(page.name)) {
            report(page.name, searchPage(page.bytes, page.seed), page.seconds);
        }
    }
    for (const char* name : {"canada.json", "citm_catalog.json", "twitter.json"}) {
        if (!wanted(name)) {
            continue;
        }
        QFile f(folder + "/" + name);
        if (f.open(QIODevice::ReadOnly)) {
            report(name, f.readAll(), seconds);
        } else {
            std::printf("%-22s not found in %s\n", name, qPrintable(folder));
        }
    }
    return 0;
}
