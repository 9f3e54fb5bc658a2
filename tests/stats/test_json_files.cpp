// The JSON file helpers: text and binary, and the messages of failed reads and
// writes. Damaged files are the fuzz corpus's (reliability/test_fuzz_regressions).
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include "common/MessageCapture.h"
#include "common/TestKit.h"
#include "tonewright/SoundStatFile.h"
#include "tonewright/Utilities.h"

TEST(JsonFiles, TextAndBinaryRoundTrip) {
    tk::TempDir dir;
    const QJsonDocument doc(QJsonObject{{"a", 0.1}, {"b", QJsonArray{1e-300, -2.5, 3}}, {"c", "t\u00e9xt"}});
    ASSERT_TRUE(Utilities::writeJSONToFile(doc, dir.path("x.json"), false));
    ASSERT_TRUE(Utilities::writeJSONToFile(doc, dir.path("x.bin"), true));
    EXPECT_TRUE(tk::fileBytes(dir.path("x.json")).contains("\n    \"a\""));  // indented text
    EXPECT_EQ(Utilities::readJSONFromFile(dir.path("x.json"), true), doc);
    EXPECT_EQ(Utilities::readJSONFromFile(dir.path("x.bin"), true), doc);
    EXPECT_TRUE(Utilities::readJSONFromFile(dir.path("x.bin"), false).isNull());  // text only
    // Rewriting replaces the whole file.
    ASSERT_TRUE(Utilities::writeJSONToFile(QJsonDocument(QJsonArray{1}), dir.path("x.json"), false));
    EXPECT_EQ(Utilities::readJSONFromFile(dir.path("x.json"), false), QJsonDocument(QJsonArray{1}));

    tk::MessageCapture capture;
    const QString unwritable = dir.path("no/such/folder/x.ssf");
    EXPECT_FALSE(Utilities::writeJSONToFile(doc, unwritable, true));
    EXPECT_TRUE(capture.contains("JSON write error ; unable to open file " + unwritable));
    capture.clear();
    EXPECT_TRUE(Utilities::readJSONFromFile(dir.path("none.json"), true).isNull());
    EXPECT_TRUE(capture.messages().isEmpty());
    EXPECT_TRUE(tk::writeBytes(dir.path("bad.json"), "{\"a\": [1, 2,, 3]}"));
    EXPECT_TRUE(Utilities::readJSONFromFile(dir.path("bad.json"), true).isNull());
    ASSERT_EQ(capture.messages(QtCriticalMsg).size(), 1);
    EXPECT_TRUE(capture.messages(QtCriticalMsg)[0].startsWith("JSON read error offset 13 : "))
        << capture.messages(QtCriticalMsg)[0].toStdString();
    // A folder is not a document.
    EXPECT_TRUE(Utilities::readJSONFromFile(dir.root(), true).isNull());

    SoundStatFile stats;
    EXPECT_FALSE(stats.writeJSonFile(unwritable));
    EXPECT_TRUE(SoundDebuggableClass::getError().contains(dir.path("no/such/folder/x.ssf")));
}
