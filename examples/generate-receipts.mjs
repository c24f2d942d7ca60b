// Writes the sample receipt streams of receipts/ with a real ESC/POS encoder.
//
//   cd examples && npm ci && npm run generate
//
// Each receipt NAME gives two files (the family-* receipts are written by
// dialect-receipts.mjs with a second encoder's per-family profiles):
//   receipts/NAME.bin  the bytes a POS would send to its printer
//   receipts/NAME.txt  the text lines the ESC/POS command set must deliver,
//                      in order (spaces trimmed, as the listener trims them)
// The first line of NAME.txt is "# codepage: PAGE", the code page the text
// bytes are in. The streams are deterministic, so regenerating them gives the
// same bytes.
//
// Receipts in the Star languages, and receipts whose encoder picks a code
// table for every run of characters (codepage "auto"), say "# codepage:
// tables" (their text is what a listener with code tables on delivers, in
// UTF-8) and name their command set on a second line, "# set: NAME". Their
// expected lines are the text the encoder itself laid out, line by line.
import { writeFileSync, mkdirSync } from 'node:fs';
import ReceiptPrinterEncoder from '@point-of-sale/receipt-printer-encoder';
import { dialectReceipts } from './dialect-receipts.mjs';

const ESC = 0x1b;
const GS = 0x1d;
const DLE = 0x10;
const LF = 0x0a;

const outDir = new URL('./receipts/', import.meta.url);
mkdirSync(outDir, { recursive: true });

// One receipt: an encoder plus the lines it is expected to yield.
class Receipt {
  constructor(codepage) {
    this.codepage = codepage;
    this.enc = new ReceiptPrinterEncoder({ language: 'esc-pos', columns: 42 });
    this.expected = [];
    this.tail = [];
    this.enc.initialize().codepage(codepage);
  }

  // A printed line; expect its text trimmed.
  line(text) {
    this.enc.line(text);
    this.expected.push(text.trim());
    return this;
  }

  // A line whose label is emphasised, as POS software prints totals.
  boldLine(label, value) {
    const pad = 42 - label.length - value.length;
    this.enc.bold(true).text(label).bold(false).text(' '.repeat(pad) + value).newline();
    this.expected.push(label + ' '.repeat(pad) + value);
    return this;
  }

  item(name, amount) {
    const pad = 42 - name.length - amount.length;
    return this.line(name + ' '.repeat(pad) + amount);
  }

  raw(bytes) {
    this.enc.raw(bytes);
    return this;
  }

  // A barcode, delivered as a line of its own with the set's prefix.
  barcode(value, symbology, shown) {
    this.enc.barcode(value, symbology, { height: 60, width: 2, text: 'below' });
    this.expected.push('BARCODE ' + (shown ?? value));
    return this;
  }

  bytes() {
    const body = this.enc.encode();
    const out = new Uint8Array(body.length + this.tail.length);
    out.set(body, 0);
    out.set(this.tail, body.length);
    return out;
  }
}

function header(r, title, subtitle) {
  r.enc.align('center').size(2, 2);
  r.line(title);
  r.enc.size(1, 1);
  r.line(subtitle);
  r.line('Rue du Port 12, 1000 City');
  r.enc.align('left');
  r.line('-'.repeat(42));
}

// A small raster logo (a framed diamond), 64 x 32 dots.
function logo() {
  const width = 64;
  const height = 32;
  const data = new Uint8ClampedArray(width * height * 4).fill(255);
  for (let y = 0; y < height; y++) {
    for (let x = 0; x < width; x++) {
      const frame = x < 2 || y < 2 || x >= width - 2 || y >= height - 2;
      const diamond = Math.abs(x - 32) / 2 + Math.abs(y - 16) <= 12;
      if (frame || diamond) {
        const i = (y * width + x) * 4;
        data[i] = data[i + 1] = data[i + 2] = 0;
      }
    }
  }
  return { data, width, height };
}

const receipts = {};

// Plain receipt: the default code page, styles, a partial cut with the
// encoder's own line feed after it.
{
  const r = new Receipt('cp437');
  header(r, 'CORNER SHOP', 'Fresh goods since 1987');
  r.line('Date 2024-03-14 09:41      Till 2');
  r.line('Receipt 000117        Cashier ANNA');
  r.line('-'.repeat(42));
  r.item('Milk 1 l', '1.19');
  r.item('Bread, rye', '2.45');
  r.item('Apples 1.2 kg x 2.20', '2.64');
  r.enc.underline(true);
  r.item('Newspaper', '1.80');
  r.enc.underline(false);
  r.line('-'.repeat(42));
  r.boldLine('TOTAL', '8.08');
  r.item('CASH', '10.00');
  r.item('CHANGE', '1.92');
  r.enc.align('center');
  r.line('Thank you for your visit');
  r.enc.align('left');
  r.enc.cut('partial');
  receipts.plain = r;
}

// Latin accents in windows-1252, italic and double strike, a feed-and-cut
// without a trailing line feed, then a cash-drawer pulse.
{
  const r = new Receipt('windows1252');
  header(r, 'CAFÉ LUMIÈRE', 'Pâtisserie & crêperie');
  r.line('Reçu n° 4711            Caissière: Zoë');
  r.line('-'.repeat(42));
  r.item('Crème brûlée', '6.50');
  r.item('Café au lait x 2', '7.00');
  r.item('Croque-monsieur', '9.80');
  r.enc.italic(true);
  r.item('Jalapeño señor Müller', '3.20');
  r.enc.italic(false);
  r.raw([ESC, 0x47, 1]); // double strike on
  r.boldLine('TOTAL', '26.50');
  r.raw([ESC, 0x47, 0]);
  r.item('CASH', '30.00');
  r.item('Rendu', '3.50');
  r.line('Merci et à bientôt !');
  r.raw([ESC, 0x64, 4]); // print and feed 4 lines
  r.tail = [GS, 0x56, 0x42, 0x03, ESC, 0x70, 0x00, 0x32, 0xfa];
  receipts.latin = r;
}

// Hebrew in windows-1255. Receipt printers print bytes left to right, so the
// POS software sends Hebrew words in display order (reversed).
{
  const vis = (s) => [...s].reverse().join('');
  const r = new Receipt('windows1255');
  r.enc.align('center').size(2, 2);
  r.line(vis('מכולת השכונה'));
  r.enc.size(1, 1).align('left');
  r.line('-'.repeat(42));
  r.item(vis('חלב'), '6.90');
  r.item(vis('לחם'), '12.50');
  r.item(vis('גבינה לבנה'), '8.40');
  r.line('-'.repeat(42));
  r.boldLine(vis('סה"כ'), '27.80');
  r.item(vis('מזומן'), '50.00');
  r.line(vis('תודה רבה'));
  r.enc.cut('full');
  receipts.hebrew = r;
}

// Barcodes in both encodings: NUL-terminated (EAN-13, CODE39) and
// length-prefixed (CODE128 with its code set prefix, ITF via the B form).
{
  const r = new Receipt('cp437');
  header(r, 'HARDWARE DEPOT', 'Tools and more');
  r.item('Hammer 500 g', '14.90');
  r.barcode('4006381333931', 'ean13');
  r.item('Screws 4x40 (200)', '6.75');
  r.barcode('SCR-440-200', 'code39');
  r.boldLine('TOTAL', '21.65');
  r.item('CARD', '21.65');
  r.line('Return code:');
  r.barcode('RET-2024-0117', 'code128');
  r.line('Keep this receipt for returns');
  r.enc.cut('full');
  receipts.barcodes = r;
}

// QR and PDF417 codes, a raster logo and a column image, a status request.
{
  const r = new Receipt('cp437');
  r.enc.align('center').image(logo(), 64, 32, 'threshold', 128);
  r.enc.align('left');
  header(r, 'BOOK NOOK', 'Second-hand books');
  r.item('Paperback, novel', '4.00');
  r.item('Atlas 1998', '7.50');
  r.boldLine('TOTAL', '11.50');
  r.item('CARD', '11.50');
  r.enc.align('center');
  r.line('Rate your visit:');
  r.enc.qrcode('https://books.example/r/000118', { model: 2, size: 6, errorlevel: 'm' });
  r.enc.pdf417('000118-2024-03-14-11.50', { columns: 0, rows: 0, width: 3, height: 3, errorlevel: 1 });
  r.enc.align('left');
  r.line('See you soon');
  r.raw([DLE, 0x04, 0x01]); // real-time status request
  // A raster copy of the logo, as some POS software prints it.
  const enc2 = new ReceiptPrinterEncoder({ language: 'esc-pos', columns: 42, imageMode: 'raster' });
  r.raw(enc2.image(logo(), 64, 32, 'threshold', 128).encode());
  r.enc.cut('full');
  receipts.qrcode = r;
}

// A voided sale.
{
  const r = new Receipt('cp437');
  header(r, 'CORNER SHOP', 'Fresh goods since 1987');
  r.line('Receipt 000119        Cashier ANNA');
  r.item('Coffee beans 1 kg', '18.90');
  r.item('VOID Coffee beans 1 kg', '-18.90');
  r.item('Tea, green', '4.20');
  r.boldLine('TOTAL', '4.20');
  r.item('CASH', '5.00');
  r.item('CHANGE', '0.80');
  r.enc.size(2, 1);
  r.line('*** VOID RECEIPT ***');
  r.enc.size(1, 1);
  r.line('Voided by supervisor 07');
  r.enc.cut('partial');
  receipts.void = r;
}

// A long receipt: more text than the listener's write queue holds at once.
{
  const r = new Receipt('cp437');
  header(r, 'WHOLESALE MARKET', 'Trade customers only');
  let total = 0;
  for (let i = 1; i <= 420; i++) {
    const cents = (i * 37) % 2000 + 99;
    total += cents;
    r.item(`Article ${String(i).padStart(4, '0')} pack of ${(i % 12) + 1}`, (cents / 100).toFixed(2));
  }
  r.boldLine('TOTAL', (total / 100).toFixed(2));
  r.item('CARD', (total / 100).toFixed(2));
  r.raw([ESC, 0x64, 3]);
  r.tail = [GS, 0x56, 0x41, 0x10];
  receipts.long = r;
}

// Receipts whose expected text is the encoder's own layout: build(enc) is run
// twice on fresh encoders, once for the bytes and once for the lines.
// Barcodes print "BARCODE " and their data; lines without text print nothing.
class LaidOutReceipt {
  constructor(language, set, options, build) {
    const make = () => {
      const enc = new ReceiptPrinterEncoder({ language, columns: 42, ...options });
      build(enc);
      return enc;
    };
    this.set = set;
    this.codepage = 'tables';
    this.body = make().encode();
    this.expected = [];
    for (const line of make().encode('commands')) {
      const barcode = line.commands.find((c) => c.type === 'barcode');
      const text = line.commands.filter((c) => c.type === 'text').map((c) => c.value).join('').trim();
      if (barcode) this.expected.push('BARCODE ' + barcode.value.data);
      if (text !== '') this.expected.push(text);
    }
  }

  bytes() {
    return this.body;
  }
}

// The tables each set maps to a page (ESCPOS.ini, StarLine.ini, StarPRNT.ini):
// the automatic receipts choose among these only.
const tableCandidates = {
  'esc-pos': ['cp437', 'cp850', 'cp860', 'cp863', 'cp865', 'cp851', 'cp857', 'cp737', 'iso8859-7',
    'windows1252', 'cp866', 'cp852', 'cp858', 'cp720', 'cp775', 'cp855', 'cp861', 'cp862', 'cp864',
    'cp869', 'iso8859-15', 'cp1098', 'cp1125', 'windows1250', 'windows1251', 'windows1253',
    'windows1254', 'windows1255', 'windows1256', 'windows1257', 'windows1258'],
  'star': ['cp437', 'cp858', 'cp852', 'cp860', 'cp861', 'cp863', 'cp865', 'cp866', 'cp855', 'cp857',
    'cp862', 'cp864', 'cp737', 'cp851', 'cp869', 'windows1252', 'windows1250', 'windows1251'],
};

// A menu in five scripts: switches mid-line, inside table rows, a euro sign
// and box-drawing rules.
function mixedMenu(enc) {
  enc.initialize().codepage('auto');
  enc.align('center').bold(true).line('CAFÉ DE LA GARE · ΤΑΒΕΡΝΑ').bold(false);
  enc.line('Kraków · Praha · İstanbul · Москва');
  enc.align('left').rule();
  enc.line('Crème brûlée € 6,50 / Μουσακάς € 9,80');
  enc.line('Борщ 4,20 € · Żurek łódzki 5,10 €');
  enc.table(
      [{ width: 26, align: 'left' }, { width: 16, align: 'right' }],
      [
        ['Svíčková na smetaně', '€ 12,40'],
        ['Şiş kebap, ayran', '€ 11,90'],
        ['Ελληνική σαλάτα', '€ 7,30'],
        ['Пельмени с мясом', '€ 8,60'],
        ['Gęś pieczona', '€ 14,00'],
      ],
  );
  enc.rule({ style: 'double' });
  enc.bold(true).line('ΣΥΝΟΛΟ / ИТОГО / SUMA  € 75,80').bold(false);
  enc.line('Děkujeme · Teşekkürler · Спасибо · Ευχαριστώ');
}

// A Star receipt: styles, sizes, alignment, line spacing, a barcode, a QR
// code, a logo, a drawer kick and a cut.
function starReceipt(enc, codepage) {
  enc.initialize().codepage(codepage);
  enc.align('center').size(2, 2).line('STAR CORNER').size(1, 1);
  enc.line('Rue du Port 12, 1000 City');
  enc.align('left').font('B').line('Receipt 000120        Cashier ANNA').font('A');
  enc.lineSpacing('none').line('Milk 1 l                              1.19').lineSpacing('default');
  enc.underline(true).line('Bread, rye                            2.45').underline(false);
  enc.invert(true).line('Apples 1.2 kg x 2.20                  2.64').invert(false);
  enc.bold(true).line('TOTAL                                 6.28').bold(false);
  enc.barcode('4006381333931', 'ean13', 60);
  enc.image(logo(), 64, 32, 'threshold', 128);
  enc.qrcode('https://shop.example/r/000120', 2, 6, 'm');
  enc.align('center').line('Thank you for your visit').align('left');
  enc.pulse();
  enc.cut('partial');
}

for (const [language, set] of [['star-line', 'Star Line'], ['star-prnt', 'Star PRNT']]) {
  receipts[language] = new LaidOutReceipt(language, set, {}, (enc) => starReceipt(enc, 'cp437'));
  receipts[`${language}-tables`] = new LaidOutReceipt(language, set,
      { codepageCandidates: tableCandidates.star }, (enc) => {
        mixedMenu(enc);
        enc.cut('full');
      });
}
receipts['escpos-tables'] = new LaidOutReceipt('esc-pos', 'ESC/POS',
    { codepageCandidates: tableCandidates['esc-pos'] }, (enc) => {
      mixedMenu(enc);
      enc.cut('full');
    });

// The printer families of a second encoder (dialect-receipts.mjs).
Object.assign(receipts, await dialectReceipts());

for (const [name, r] of Object.entries(receipts)) {
  writeFileSync(new URL(`${name}.bin`, outDir), r.bytes());
  writeFileSync(new URL(`${name}.txt`, outDir),
      `# codepage: ${r.codepage.replace(/^windows/, 'windows-')}\n` +
      (r.set ? `# set: ${r.set}\n` : '') + r.expected.join('\n') + '\n');
}
console.log(`wrote ${Object.keys(receipts).length} receipts to ${outDir.pathname}`);
