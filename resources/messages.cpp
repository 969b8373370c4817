// Every text the program shows, in UTF-8 here; compiled to Shift-JIS (see messages.h).
// Keep this file out of any unity build: its execution character set differs from the rest.
#include "messages.h"

namespace pixelwell {

const char kControlClassName[] = "Pixelwell";
const char kResultClassName[] = "Processing";
const char kControlTitle[] = "Video Viewer";
const char kResultTitle[] = "Processing...";
const char kCaptureWindowName[] = "Capture";

const char kTextNoVideoDevice[] = "ビデオデバイスが見つかりません。";
const char kTextNoCurrentDirectory[] = "カレントディレクトリを取得に失敗しました。";
const char kTextNoDisplayBitmap[] = "表示用ビットマップの作成に失敗しました。";
const char kCaptionStopped[] = "処理中断の案内";

const char kCaptionVfwError[] = "VFW ERROR";
const char kTextNoCaptureParameters[] = "キャプチャーパラメータの取得に失敗しました";
const char kTextNoCaptureStatus[] = "キャプチャーステータスの取得に失敗しました";
const char kTextNoCaptureFormat[] = "キャプチャーデータフォーマットの取得に失敗しました";

const char kTextDriverError[] = "デバイスが見つかりません。\nプログラムを終了します。";
const char kCaptionDriverError[] = "初期化エラー";
const char kFormatCaptureError[] = "%.*s(%d)";
const char kCaptionCaptureError[] = "キャプチャエラー";

const char kTextFormatNot24Bit[] = "画像フォーマットは、\n無圧縮の 24 ビットに設定してください";
const char kTextSizeTooLarge[] = "画像サイズは、\n1280x1280 以下に設定してください";
const char kCaptionFormatError[] = "画像フォーマットエラー";

}  // namespace pixelwell
