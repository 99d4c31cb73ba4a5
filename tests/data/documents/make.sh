#!/usr/bin/env bash
# Makes the documents the service's extraction tests read, each with the tool people make such
# documents with: pandoc (Word, PowerPoint, OpenDocument, EPUB, RTF), groff and ghostscript
# (PDF), Python's zipfile (Excel) and email library (mail). Each holds a word of its own
# ("zebrafish" in the Word file, ...), a title and an author.
#   tests/data/documents/make.sh     writes them beside this script
set -euo pipefail
cd "$(dirname "$0")"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

doc() { # NAME WORD TITLE
  printf -- '---\ntitle: %s\nauthor: Ann Author\n---\n\n# Section\n\nThe %s swims in the budget report.\n\n- a list item\n' \
    "$3" "$2" >"$work/$1.md"
}
doc word zebrafish "Quarterly Word Report"
pandoc -s "$work/word.md" -o report.docx
doc slides narwhal "Slides About Plans"
pandoc -s "$work/slides.md" -o slides.pptx
doc odt axolotl "Open Text Notes"
pandoc -s "$work/odt.md" -o notes.odt
doc epub pangolin "A Small Book"
pandoc -s "$work/epub.md" -o book.epub
doc rtf quokka "Rich Memo"
pandoc -s "$work/rtf.md" -o "$work/memo.rtf"
# pandoc writes no document information; Word and LibreOffice do.
{ head -n 1 "$work/memo.rtf"; echo '{\info{\title Rich Memo}{\author Ann Author}}'; tail -n +2 "$work/memo.rtf"; } >memo.rtf

# Three pages; the third holds "wombat".
cat >"$work/paper.tr" <<'TR'
The first page talks of budgets.
.bp
The second page talks of plans.
.bp
The third page talks of the wombat.
TR
groff -Tps "$work/paper.tr" >"$work/paper.ps"
ps2pdf -dPDFSETTINGS=/default "$work/paper.ps" "$work/paper-notitle.pdf"
# The document information (title, author) comes with ghostscript's pdfmark.
printf '[ /Title (Paper On Three Pages) /Author (Bo Writer) /DOCINFO pdfmark\n' >"$work/info.ps"
gs -q -dBATCH -dNOPAUSE -sDEVICE=pdfwrite -sOutputFile=paper.pdf "$work/paper-notitle.pdf" "$work/info.ps"

python3 - <<'PY'
import email.message, email.utils, zipfile, mailbox

# Excel: a workbook with one shared string and one inline string.
parts = {
    "[Content_Types].xml": '<?xml version="1.0"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types"/>',
    "xl/workbook.xml": '<?xml version="1.0"?><workbook xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheets><sheet name="Budget" sheetId="1"/></sheets></workbook>',
    "xl/sharedStrings.xml": '<?xml version="1.0"?><sst xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><si><t>capybara</t></si><si><t>total</t></si></sst>',
    "xl/worksheets/sheet1.xml": '<?xml version="1.0"?><worksheet xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"><sheetData><row r="1"><c r="A1" t="s"><v>0</v></c><c r="B1" t="inlineStr"><is><t>okapi</t></is></c></row></sheetData></worksheet>',
    "docProps/core.xml": '<?xml version="1.0"?><cp:coreProperties xmlns:cp="http://schemas.openxmlformats.org/package/2006/metadata/core-properties" xmlns:dc="http://purl.org/dc/elements/1.1/"><dc:title>Budget Sheet</dc:title><dc:creator>Cy Counter</dc:creator></cp:coreProperties>',
}
with zipfile.ZipFile("sheet.xlsx", "w", zipfile.ZIP_DEFLATED) as z:
    for name, text in parts.items():
        z.writestr(name, text)

# A mail with an HTML part and a text attachment.
m = email.message.EmailMessage()
m["From"] = "Dee Sender <dee@example.org>"
m["To"] = "team@example.org"
m["Subject"] = "Travel plans for March"
m["Date"] = "Tue, 03 Mar 2026 10:00:00 +0000"
m.set_content("The meerkat meeting moves to Friday.")
m.add_alternative("<p>The <b>meerkat</b> meeting moves to Friday.</p>", subtype="html")
m.add_attachment("Agenda: the tapir budget.", filename="agenda.txt")
open("mail.eml", "wb").write(bytes(m))

# A mailbox of two messages.
box = mailbox.mbox("box.mbox")
for subject, word in (("First note", "gecko"), ("Second note", "lemur")):
    n = email.message.EmailMessage()
    n["From"] = "Eve <eve@example.org>"
    n["Subject"] = subject
    n.set_content(f"A word: {word}.")
    box.add(n)
box.flush()
box.close()
PY
echo "made: $(ls | grep -v make.sh | tr '\n' ' ')"
