#pragma once

#include <QByteArray>

namespace glasswing {

// One preview frame, as phones receive it.
struct PreviewData {
    // When the file was read: seconds since 2001-01-01 00:00:00 UTC, from this machine's clock.
    double timestamp = 0;
    // The file's bytes, unchanged and never decoded.
    QByteArray image;
    // For a preview read straight into its frame (`fromFrame`): that frame, which `image` lies in
    // and which `encoded()` gives back as it is, so that one buffer holds the preview however many
    // phones it goes to. Such a preview is not changed afterwards.
    QByteArray frame;

    // The current time in the frame's reference: seconds since 2001-01-01 00:00:00 UTC.
    static double now();

    // The frame as phones decode it: a binary property list ("bplist00") whose top object is a
    // dictionary of exactly two entries, "timestamp" (always an 8-byte real) and "image" (data).
    QByteArray encoded() const;
    // The size of `encoded()` for an image of `imageBytes`, known before the image is read.
    static qint64 encodedSize(qint64 imageBytes);
    // A frame with room for an image of `imageBytes` at `imageOffset(imageBytes)`: all written but
    // the image and the timestamp, for the file to be read straight into it.
    static QByteArray frameFor(qint64 imageBytes);
    static qint64 imageOffset(qint64 imageBytes);
    // The preview in a frame from `frameFor` whose image has been put in place, stamped now with
    // `timestamp`.
    static PreviewData fromFrame(QByteArray frame, qint64 imageBytes, double timestamp);
    // The largest image whose frame fits in `largestFrame` bytes: what the app sends, and the
    // most that is worth putting in place for it. 0 when not even an empty image fits.
    static qint64 largestImage(qint64 largestFrame);
};

} // namespace glasswing
