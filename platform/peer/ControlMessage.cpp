#include "platform/peer/ControlMessage.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace glasswing::peer {

namespace {

const QString kType = QStringLiteral("type");
const QString kName = QStringLiteral("name");
const QString kContext = QStringLiteral("context");
const QString kCode = QStringLiteral("code");

struct TypeName {
    ControlMessage::Type type;
    QString name;
};

const TypeName kTypeNames[] = {
    {ControlMessage::Type::Invitation, QStringLiteral("invitation")},
    {ControlMessage::Type::Joined, QStringLiteral("joined")},
    {ControlMessage::Type::Accept, QStringLiteral("accept")},
    {ControlMessage::Type::Decline, QStringLiteral("decline")},
    {ControlMessage::Type::Hello, QStringLiteral("hello")},
};

std::optional<ControlMessage> fail(QString* error, const QString& why)
{
    if (error)
        *error = why;
    return std::nullopt;
}

} // namespace

ControlMessage ControlMessage::invitation(const QString& name, std::optional<QByteArray> context)
{
    return ControlMessage{Type::Invitation, name, {}, std::move(context)};
}

ControlMessage ControlMessage::joined()
{
    return ControlMessage{Type::Joined, {}, {}, std::nullopt};
}

ControlMessage ControlMessage::accept(const QString& macName)
{
    return ControlMessage{Type::Accept, macName, {}, std::nullopt};
}

ControlMessage ControlMessage::decline()
{
    return ControlMessage{Type::Decline, {}, {}, std::nullopt};
}

ControlMessage ControlMessage::hello(const QString& macName, const QString& code)
{
    return ControlMessage{Type::Hello, macName, code, std::nullopt};
}

QByteArray ControlMessage::serialize() const
{
    QJsonObject object;
    for (const TypeName& entry : kTypeNames) {
        if (entry.type == type)
            object.insert(kType, entry.name);
    }
    if (type == Type::Invitation || type == Type::Accept || type == Type::Hello)
        object.insert(kName, name);
    if (type == Type::Hello)
        object.insert(kCode, code);
    if (type == Type::Invitation && context)
        object.insert(kContext, QString::fromLatin1(context->toBase64()));
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

std::optional<ControlMessage> ControlMessage::parse(const QByteArray& frame, QString* error)
{
    QJsonParseError parseError{};
    const QJsonDocument document = QJsonDocument::fromJson(frame, &parseError);
    if (parseError.error != QJsonParseError::NoError)
        return fail(error, QStringLiteral("malformed JSON: ") + parseError.errorString());
    if (!document.isObject())
        return fail(error, QStringLiteral("a control message is a JSON object"));
    const QJsonObject object = document.object();

    const QJsonValue typeValue = object.value(kType);
    if (!typeValue.isString())
        return fail(error, QStringLiteral("\"type\" must be a string"));
    std::optional<Type> type;
    for (const TypeName& entry : kTypeNames) {
        if (entry.name == typeValue.toString())
            type = entry.type;
    }
    if (!type)
        return fail(error, QStringLiteral("unknown message type"));

    ControlMessage message{*type, {}, {}, std::nullopt};
    if (*type == Type::Hello) {
        const QJsonValue code = object.value(kCode);
        if (!code.isString())
            return fail(error, QStringLiteral("\"code\" must be a string"));
        message.code = code.toString();
    }
    if (*type == Type::Invitation || *type == Type::Accept || *type == Type::Hello) {
        const QJsonValue name = object.value(kName);
        if (!name.isString())
            return fail(error, QStringLiteral("\"name\" must be a string"));
        message.name = name.toString();
    }
    if (*type == Type::Invitation && object.contains(kContext)) {
        const QJsonValue context = object.value(kContext);
        if (!context.isString())
            return fail(error, QStringLiteral("\"context\" must be a base64 string"));
        const auto decoded
            = QByteArray::fromBase64Encoding(context.toString().toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
        if (!decoded)
            return fail(error, QStringLiteral("\"context\" is not valid base64"));
        message.context = decoded.decoded;
    }
    return message;
}

} // namespace glasswing::peer
