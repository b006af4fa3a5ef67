#include "StepsFileParser.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSet>

#include <yaml-cpp/yaml.h>

#include <cmath>
#include <optional>
#include <set>

namespace {

using Kind = StepsFile::Kind;

// A refusal on its way out of the walk over the document.
struct Refusal
{
    int line; // from 0, as yaml-cpp counts; -1 when unknown
    int column;
    QString what;
};

[[noreturn]] void refuse(const YAML::Node &at, const QString &what)
{
    const YAML::Mark mark = at.Mark();
    throw Refusal{mark.line, mark.column, what};
}

QString text(const YAML::Node &node)
{
    return QString::fromStdString(node.Scalar());
}

QString scalar(const YAML::Node &node, const QString &field)
{
    if (!node.IsScalar())
        refuse(node, QStringLiteral("%1 must be a text").arg(field));
    return text(node);
}

const QList<Kind> &allKinds()
{
    static const QList<Kind> kinds{Kind::PowerOn, Kind::PowerOff, Kind::OpenPort, Kind::ClosePort, Kind::At,
                                   Kind::WaitFor, Kind::DialUp, Kind::HangUp, Kind::Connect, Kind::Echo,
                                   Kind::CloseSocket, Kind::Ping, Kind::Wait};
    return kinds;
}

// The fields each step takes besides "name".
QStringList fieldsOf(Kind kind)
{
    switch (kind) {
    case Kind::At:
        return {QStringLiteral("command"), QStringLiteral("expect"), QStringLiteral("regex"),
                QStringLiteral("timeout"), QStringLiteral("capture"), QStringLiteral("record")};
    case Kind::WaitFor:
        return {QStringLiteral("expect"), QStringLiteral("regex"), QStringLiteral("timeout"),
                QStringLiteral("capture"), QStringLiteral("record")};
    case Kind::PowerOn:
        return {QStringLiteral("port_timeout")};
    case Kind::Wait:
        return {QStringLiteral("time")};
    default:
        return {};
    }
}

class Walk
{
public:
    StepsFile &file;
    int steps = 0;
    QSet<QString> captureNames;

    int time(const YAML::Node &node, const QString &field)
    {
        const qint64 ms = StepsFileParser::parseTime(scalar(node, field));
        if (ms < 0)
            refuse(node, QStringLiteral("%1: \"%2\" is not a time (500ms, 2s, 1.5min, 1h)").arg(field, text(node)));
        if (ms > StepsFileParser::maxTimeMs)
            refuse(node, QStringLiteral("%1: \"%2\" is longer than 24h").arg(field, text(node)));
        return int(ms);
    }

    QRegularExpression pattern(const YAML::Node &node, const QString &source, const QString &field)
    {
        QRegularExpression re(source);
        if (!re.isValid())
            refuse(node, QStringLiteral("%1: the regular expression does not compile (%2 at offset %3)")
                             .arg(field, re.errorString())
                             .arg(re.patternErrorOffset()));
        return re;
    }

    void expect(const YAML::Node &node, bool regex, StepsFile::Step &step)
    {
        QString value = scalar(node, QStringLiteral("expect"));
        if (value.isEmpty())
            refuse(node, QStringLiteral("expect: an empty text is always there"));
        // "/.../" is a regular expression too.
        if (!regex && value.size() >= 2 && value.startsWith(QLatin1Char('/')) && value.endsWith(QLatin1Char('/'))) {
            value = value.mid(1, value.size() - 2);
            regex = true;
        }
        if (regex)
            step.expectPattern = pattern(node, value, QStringLiteral("expect"));
        else
            step.expect = value.toUtf8();
    }

    StepsFile::Step step(const YAML::Node &node, bool inCycle)
    {
        if (++steps > StepsFileParser::maxSteps)
            refuse(node, QStringLiteral("more than %1 steps").arg(StepsFileParser::maxSteps));
        if (!node.IsScalar() && !(node.IsMap() && node.size() == 1))
            refuse(node, QStringLiteral("a step is a name (power_on) or a name with its fields (at: {...})"));
        const bool bare = node.IsScalar();
        const YAML::Node key = bare ? node : node.begin()->first;
        const std::optional<YAML::Node> body = bare ? std::nullopt : std::optional<YAML::Node>(node.begin()->second);
        const QString keyText = scalar(key, QStringLiteral("a step's name"));
        StepsFile::Step s;
        s.line = key.Mark().line + 1;
        bool known = false;
        for (Kind k : allKinds()) {
            if (StepsFile::keyOf(k) == keyText) {
                s.kind = k;
                known = true;
            }
        }
        if (!known)
            refuse(key, QStringLiteral("unknown step \"%1\"").arg(keyText));

        // "wait: 5s" is short for "wait: {time: 5s}".
        if (s.kind == Kind::Wait && body && body->IsScalar()) {
            s.timeoutMs = time(*body, QStringLiteral("wait"));
            return s;
        }
        const QStringList fields = fieldsOf(s.kind);
        std::optional<YAML::Node> given[8];
        if (body && !body->IsNull()) {
            if (!body->IsMap())
                refuse(*body, QStringLiteral("%1: its fields are a map (field: value)").arg(keyText));
            for (auto it = body->begin(); it != body->end(); ++it) {
                const QString field = scalar(it->first, QStringLiteral("a field's name"));
                if (field == QLatin1String("name")) {
                    s.name = scalar(it->second, QStringLiteral("name")).simplified();
                    if (s.name.size() > 80)
                        refuse(it->second, QStringLiteral("name: longer than 80 characters"));
                    continue;
                }
                const int index = fields.indexOf(field);
                if (index < 0)
                    refuse(it->first, QStringLiteral("%1 has no field \"%2\"").arg(keyText, field));
                if (given[index])
                    refuse(it->first, QStringLiteral("%1: field \"%2\" given twice").arg(keyText, field));
                given[index].emplace(it->second);
            }
        }
        const auto field = [&](const char *name) -> std::optional<YAML::Node> {
            return given[fields.indexOf(QLatin1String(name))];
        };
        const auto required = [&](const char *name) {
            const std::optional<YAML::Node> n = field(name);
            if (!n)
                refuse(body ? *body : key, QStringLiteral("%1: field \"%2\" is missing").arg(keyText, QLatin1String(name)));
            return *n;
        };
        switch (s.kind) {
        case Kind::At:
        case Kind::WaitFor: {
            if (s.kind == Kind::At) {
                const YAML::Node command = required("command");
                const QString c = scalar(command, QStringLiteral("command")).trimmed();
                if (c.isEmpty() || c.contains(QLatin1Char('\r')) || c.contains(QLatin1Char('\n')))
                    refuse(command, QStringLiteral("command: one line of text"));
                s.command = c.toUtf8();
            }
            bool regex = false;
            if (const std::optional<YAML::Node> r = field("regex")) {
                const QString v = scalar(*r, QStringLiteral("regex"));
                if (v != QLatin1String("true") && v != QLatin1String("false"))
                    refuse(*r, QStringLiteral("regex: true or false"));
                regex = v == QLatin1String("true");
            }
            if (s.kind == Kind::At && !field("expect"))
                s.expect = QByteArrayLiteral("OK");
            else
                expect(required("expect"), regex, s);
            s.timeoutMs = s.kind == Kind::At && !field("timeout") ? 10000
                                                                  : time(required("timeout"), QStringLiteral("timeout"));
            if (const std::optional<YAML::Node> captures = field("capture")) {
                const YAML::Node &c = *captures;
                if (!inCycle)
                    refuse(c, QStringLiteral("capture: only cycle steps go on record"));
                if (!c.IsMap() || c.size() == 0)
                    refuse(c, QStringLiteral("capture: a map of names to regular expressions"));
                for (auto it = c.begin(); it != c.end(); ++it) {
                    const QString name = scalar(it->first, QStringLiteral("a capture's name"));
                    static const QRegularExpression valid(QStringLiteral("^[A-Za-z_][A-Za-z0-9_]{0,63}$"));
                    if (!valid.match(name).hasMatch())
                        refuse(it->first, QStringLiteral("capture: \"%1\" is no name (letters, digits, _)").arg(name));
                    if (captureNames.contains(name))
                        refuse(it->first, QStringLiteral("capture: the name \"%1\" is used twice").arg(name));
                    if (captureNames.size() >= StepsFileParser::maxCaptures)
                        refuse(it->first, QStringLiteral("capture: more than %1 values").arg(StepsFileParser::maxCaptures));
                    captureNames.insert(name);
                    s.captures.push_back({name, pattern(it->second, scalar(it->second, name), name)});
                }
            }
            if (const std::optional<YAML::Node> r = field("record")) {
                const QString figure = scalar(*r, QStringLiteral("record"));
                if (!inCycle || !StepsFile::recordFigures().contains(figure))
                    refuse(*r, QStringLiteral("record: one of %1, in a cycle step")
                                  .arg(StepsFile::recordFigures().join(QStringLiteral(", "))));
                s.recordMs = figure;
            }
            break;
        }
        case Kind::PowerOn:
            s.timeoutMs = field("port_timeout") ? time(*field("port_timeout"), QStringLiteral("port_timeout")) : 30000;
            break;
        case Kind::Wait:
            s.timeoutMs = time(required("time"), QStringLiteral("time"));
            break;
        default:
            break;
        }
        return s;
    }

    std::vector<StepsFile::Step> steps_(const YAML::Node &node, const QString &what, bool inCycle)
    {
        if (!node.IsSequence())
            refuse(node, QStringLiteral("%1: a list of steps").arg(what));
        std::vector<StepsFile::Step> list;
        for (const YAML::Node &item : node)
            list.push_back(step(item, inCycle));
        return list;
    }

    int count(const YAML::Node &node, const QString &what)
    {
        bool ok = false;
        const int n = scalar(node, what).toInt(&ok);
        if (!ok || n < 1 || n > 1000000)
            refuse(node, QStringLiteral("%1: a number from 1").arg(what));
        return n;
    }

    void document(const YAML::Node &root)
    {
        if (!root.IsMap())
            refuse(root, QStringLiteral("a steps file is a map with name, tag and cycle"));
        std::optional<YAML::Node> name, tag, setup, cycle, limits;
        for (auto it = root.begin(); it != root.end(); ++it) {
            const QString key = scalar(it->first, QStringLiteral("a field's name"));
            std::optional<YAML::Node> *slot = key == QLatin1String("name")     ? &name
                               : key == QLatin1String("tag")    ? &tag
                               : key == QLatin1String("setup")  ? &setup
                               : key == QLatin1String("cycle")  ? &cycle
                               : key == QLatin1String("limits") ? &limits
                                                                : nullptr;
            if (!slot)
                refuse(it->first, QStringLiteral("unknown field \"%1\" (name, tag, setup, cycle, limits)").arg(key));
            if (*slot)
                refuse(it->first, QStringLiteral("field \"%1\" given twice").arg(key));
            slot->emplace(it->second);
        }
        if (!name)
            refuse(root, QStringLiteral("field \"name\" is missing"));
        file.name = scalar(*name, QStringLiteral("name")).simplified();
        if (file.name.isEmpty() || file.name.size() > 80)
            refuse(*name, QStringLiteral("name: 1 to 80 characters"));
        if (!tag)
            refuse(root, QStringLiteral("field \"tag\" is missing"));
        file.tag = scalar(*tag, QStringLiteral("tag"));
        static const QRegularExpression tagPattern(QStringLiteral("^[A-Za-z0-9]{1,64}$"));
        if (!tagPattern.match(file.tag).hasMatch())
            refuse(*tag, QStringLiteral("tag: letters and digits only, 1 to 64"));
        if (setup && !setup->IsNull())
            file.setup = steps_(*setup, QStringLiteral("setup"), false);
        if (!cycle)
            refuse(root, QStringLiteral("field \"cycle\" is missing"));
        file.cycle = steps_(*cycle, QStringLiteral("cycle"), true);
        if (file.cycle.empty())
            refuse(*cycle, QStringLiteral("cycle: no steps"));
        if (limits && !limits->IsNull()) {
            if (!limits->IsMap())
                refuse(*limits, QStringLiteral("limits: a map"));
            for (auto it = limits->begin(); it != limits->end(); ++it) {
                const QString key = scalar(it->first, QStringLiteral("a limit's name"));
                if (key == QLatin1String("give_up_after_failed_dials"))
                    file.failedDialsInARow = count(it->second, key);
                else if (key == QLatin1String("give_up_after_failed_connects"))
                    file.failedConnectsInARow = count(it->second, key);
                else
                    refuse(it->first, QStringLiteral("unknown limit \"%1\" (give_up_after_failed_dials, "
                                                     "give_up_after_failed_connects)")
                                          .arg(key));
            }
        }
    }
};

// Offset of the first byte that is not part of well-formed UTF-8 (or is a
// NUL); -1 when the text is clean.
int firstNonUtf8(const QByteArray &bytes)
{
    const int n = bytes.size();
    for (int i = 0; i < n;) {
        const uchar c = uchar(bytes[i]);
        if (c == 0)
            return i;
        if (c < 0x80) {
            ++i;
            continue;
        }
        int len = 0;
        uchar lo = 0x80, hi = 0xBF; // range of the second byte
        if (c >= 0xC2 && c <= 0xDF) len = 2;
        else if (c >= 0xE0 && c <= 0xEF) { len = 3; if (c == 0xE0) lo = 0xA0; if (c == 0xED) hi = 0x9F; }
        else if (c >= 0xF0 && c <= 0xF4) { len = 4; if (c == 0xF0) lo = 0x90; if (c == 0xF4) hi = 0x8F; }
        else return i;
        if (i + len > n)
            return i;
        for (int k = 1; k < len; ++k) {
            const uchar b = uchar(bytes[i + k]);
            if (b < (k == 1 ? lo : 0x80) || b > (k == 1 ? hi : 0xBF))
                return i;
        }
        i += len;
    }
    return -1;
}

QString where(const QString &fileName, int line, int column, const QString &text)
{
    // One line, and a short one, whatever the file's text that it quotes.
    constexpr int maxWhat = 300;
    QString what;
    for (const QChar c : text) {
        if (c == QLatin1Char('\n'))
            what += QStringLiteral("\\n");
        else if (c == QLatin1Char('\r'))
            what += QStringLiteral("\\r");
        else if (c.unicode() < 0x20 || c.category() == QChar::Separator_Line || c.category() == QChar::Separator_Paragraph)
            what += QLatin1Char('?');
        else
            what += c;
        if (what.size() > maxWhat) {
            what += QStringLiteral("...");
            break;
        }
    }
    if (line < 0)
        return QStringLiteral("%1: %2").arg(fileName, what);
    return QStringLiteral("%1:%2:%3: %4").arg(fileName).arg(line + 1).arg(column + 1).arg(what);
}

} // namespace

qint64 StepsFileParser::parseTime(const QString &text)
{
    static const QRegularExpression form(QStringLiteral("^\\s*(\\d{1,9}(?:\\.\\d{1,6})?)\\s*(ms|s|min|h)\\s*$"));
    const QRegularExpressionMatch m = form.match(text);
    if (!m.hasMatch())
        return -1;
    const double value = m.captured(1).toDouble();
    const QString unit = m.captured(2);
    const double scale = unit == QLatin1String("ms") ? 1 : unit == QLatin1String("s") ? 1000 : unit == QLatin1String("min") ? 60000 : 3600000;
    const double ms = std::round(value * scale);
    return ms > double(maxTimeMs) ? maxTimeMs + 1 : qint64(ms);
}

std::shared_ptr<const StepsFile> StepsFileParser::read(const QString &path, QString *error)
{
    const QString name = QFileInfo(path).fileName();
    // A pipe or a device would hold the window or the runner up until it ends.
    const QFileInfo info(path);
    if (info.exists() && !info.isFile()) {
        if (error)
            *error = QStringLiteral("%1: not a file").arg(path);
        return nullptr;
    }
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        if (error)
            *error = QStringLiteral("%1: cannot be read (%2)").arg(path, f.errorString());
        return nullptr;
    }
    // Only as much as a steps file may hold is read.
    const QByteArray bytes = f.read(maxBytes + 1);
    if (f.error() != QFileDevice::NoError) {
        if (error)
            *error = QStringLiteral("%1: cannot be read (%2)").arg(path, f.errorString());
        return nullptr;
    }
    auto file = parse(bytes, name, error);
    if (!file)
        return nullptr;
    auto named = std::make_shared<StepsFile>(*file);
    named->path = path;
    return named;
}

std::shared_ptr<const StepsFile> StepsFileParser::parse(const QByteArray &bytes, const QString &fileName, QString *error)
{
    const auto fail = [&](const QString &message) {
        if (error)
            *error = message;
        return std::shared_ptr<const StepsFile>();
    };
    if (bytes.size() > maxBytes)
        return fail(QStringLiteral("%1: larger than %2 KB; a steps file is a page of text").arg(fileName).arg(maxBytes / 1024));
    const int bad = firstNonUtf8(bytes);
    if (bad >= 0) {
        const int lineStart = bytes.lastIndexOf('\n', bad) + 1;
        return fail(where(fileName, int(bytes.left(bad).count('\n')), bad - lineStart, QStringLiteral("not UTF-8 text")));
    }
    auto file = std::make_shared<StepsFile>();
    file->fileName = fileName;
    file->sha256 = QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex());
    Walk walk{*file, 0, {}};
    try {
        const YAML::Node root = YAML::Load(bytes.toStdString());
        if (!root || root.IsNull())
            return fail(where(fileName, -1, 0, QStringLiteral("empty; a steps file has name, tag and cycle")));
        walk.document(root);
    } catch (const Refusal &r) {
        return fail(where(fileName, r.line, r.column, r.what));
    } catch (const YAML::Exception &e) {
        return fail(where(fileName, e.mark.is_null() ? -1 : e.mark.line, e.mark.column,
                          QStringLiteral("not YAML: %1").arg(QString::fromStdString(e.msg))));
    } catch (const std::exception &e) {
        return fail(where(fileName, -1, 0, QStringLiteral("cannot be read: %1").arg(QString::fromLocal8Bit(e.what()))));
    }
    return file;
}
