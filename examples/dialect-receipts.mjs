// Receipts of the printer families that escpos-buffer drives through its
// per-family profiles (Epson, Bematech, Daruma, Diebold, Elgin, Sweda,
// ControliD, Dataregis, TecToy and a generic one), three per model.
//
// Each receipt's expected lines are what the generator asked the printer to
// print: every writeln gives its text (trimmed, as the listener trims lines;
// a line without text gives none), a barcode gives "BARCODE " and its data,
// a QR code gives nothing. The lines are text in UTF-8 ("# codepage:
// tables"), and "# set: NAME" names the set that reads the family's bytes.
import { Printer, Model, InMemory, Manager, Style, Align, Cut, Drawer } from 'escpos-buffer';

const GS = 0x1d;

// The set of each family (see the README's table of bundled sets).
const setOf = {
  epson: 'ESC/POS', controlid: 'ESC/POS', tectoy: 'ESC/POS',
  bematech: 'ESC/Bema', elgin: 'ESC/Bema', sweda: 'ESC/Bema', dataregis: 'ESC/Bema',
  diebold: 'ESC/Bema', perto: 'ESC/Bema',
  daruma: 'Daruma',
  generic: 'Generic ESC/POS',
};

// The models written, with the code pages their three receipts use (the
// profile's default first, then pages of its own table numbering) and the
// set, where the model's is not its family's.
const models = [
  ['TM-T20', 'epson', ['cp850', 'cp860', 'cp1252']],
  ['TM-T88', 'epson', ['cp850', 'cp858', 'cp850']],
  ['MP-4200 TH', 'bematech', ['cp850', 'cp860', 'cp858']],
  ['MP-2500 TH', 'bematech', ['cp850', 'cp850', 'cp860']],
  ['DR800', 'daruma', ['cp1252', 'cp850', 'iso88591']],
  ['IM453', 'diebold', ['cp1252', 'cp1252', 'cp1252']],
  ['VOX', 'elgin', ['cp850', 'cp1252', 'cp860']],
  ['I7', 'elgin', ['cp850', 'cp858', 'cp1252']],
  ['I9', 'elgin', ['cp1252', 'cp860', 'cp858'], 'Elgin I9'],
  ['SI-300L', 'sweda', ['cp850', 'cp1252', 'cp860']],
  ['PrintiD', 'controlid', ['cp850', 'cp860', 'cp1252']],
  ['PrintiD-Touch', 'controlid', ['cp850', 'cp1252', 'cp858']],
  ['DT200', 'dataregis', ['cp850', 'cp858', 'cp1252']],
  ['Q4', 'tectoy', ['cp850', 'cp1252', 'cp860']],
  ['POS-80', 'generic', ['cp850', 'cp1252', 'cp860']],
];

// Profiles that draw QR codes as images ask for the picture here. The
// picture is a stand-in: a square of the code's module pattern taken from
// its data, 24-dot rows high, as the printer's bytes only need its size.
class StandInImages extends Manager {
  async loadImage() { throw new Error('no files here'); }
  async loadImageFromBuffer() { throw new Error('no files here'); }
  async buildQrcodeImage(data, size) {
    const side = 24 * Math.max(2, Math.min(size || 4, 8));
    const pixels = new Uint8ClampedArray(side * side * 4).fill(255);
    for (let y = 0; y < side; y++) {
      for (let x = 0; x < side; x++) {
        const code = data.charCodeAt(((x >> 3) + (y >> 3) * 7) % data.length);
        if ((code >> ((x + y) & 7)) & 1) pixels.fill(0, (y * side + x) * 4, (y * side + x) * 4 + 3);
      }
    }
    return { data: pixels, width: side, height: side };
  }
}

// One receipt: the printer, its connection, the lines expected of it.
class Ticket {
  constructor(printer, connection) {
    this.printer = printer;
    this.connection = connection;
    this.expected = [];
    this.pending = '';
  }

  static async open(model) {
    const connection = new InMemory();
    const printer = await Printer.CONNECT(model, connection, new StandInImages());
    return new Ticket(printer, connection);
  }

  async write(text, styles = 0) {
    this.pending += text;
    await this.printer.write(text, styles);
  }

  async line(text = '', styles = 0, align = Align.Left) {
    const whole = (this.pending + text).trim();
    this.pending = '';
    if (whole !== '') this.expected.push(whole);
    await this.printer.writeln(text, styles, align);
  }

  async styled(conf, text) {
    await this.printer.withStyle(conf, () => this.line(text));
  }

  // A barcode the library has no call for, sent as the printers of every
  // family take it: height, width, text below, then GS k m n data.
  async barcode(m, data, shown = data) {
    const bytes = [...Buffer.from(data, 'ascii')];
    await this.connection.write(Buffer.from([GS, 0x68, 60, GS, 0x77, 2, GS, 0x48, 2,
      GS, 0x6b, m, bytes.length, ...bytes]));
    this.expected.push('BARCODE ' + shown);
  }

  item(name, amount) {
    return this.line(name + ' '.repeat(Math.max(1, this.printer.columns - name.length - amount.length)) + amount);
  }

  bytes() {
    return this.connection.buffer();
  }
}

// A sale: sizes, alignment, bold, italic, underline, a barcode, a QR code,
// the drawer and a cut.
async function sale(model, page) {
  const t = await Ticket.open(model);
  await t.printer.setCodepage(page);
  await t.styled({ width: 2, height: 2, align: Align.Center }, 'PADARIA SÃO JOÃO');
  await t.line('Rua das Flores, 120 - Centro', 0, Align.Center);
  await t.line('CNPJ 12.345.678/0001-90');
  await t.line('-'.repeat(t.printer.columns));
  await t.item('Pão francês 10 un', '7,50');
  await t.item('Café com leite', '6,00');
  await t.line('Açúcar refinado 1 kg          4,89', Style.Italic);
  await t.line('Promoção válida até sábado', Style.Underline);
  await t.line('TOTAL R$ 18,39', Style.Bold, Align.Right);
  await t.barcode(69, 'SAO-JOAO-0042');
  await t.printer.qrcode('https://nfce.example.br/q?p=35240112345678000190', 4);
  await t.line('Obrigado pela preferência!', Style.Bold | Style.Italic, Align.Center);
  await t.printer.drawer(Drawer.First, 120, 240);
  await t.printer.feed(3);
  await t.printer.cutter(Cut.Partial);
  return t;
}

// A kitchen order in another page: double width and height by style bits
// (the profile's own mode commands), condensed print, the buzzer, a cut with
// the drawer opened after it.
async function order(model, page) {
  const t = await Ticket.open(model);
  await t.printer.setCodepage(page);
  await t.line('PEDIDO 0815 - COZINHA', Style.DoubleWidth | Style.DoubleHeight, Align.Center);
  await t.line('Mesa 7    Garçom: José');
  await t.line('2 x Feijoada completa', Style.DoubleHeight);
  await t.line('1 x Moqueca de camarão', Style.DoubleWidth);
  await t.line('sem coentro, pouca pimenta', Style.Condensed);
  await t.write('Observação: ', Style.Bold);
  await t.write('entregar às 13h', Style.Italic);
  await t.line();
  await t.line('Ç Ã Õ É Ê Í Ó Ú À ç ã õ é ê í ó ú à', 0, Align.Right);
  await t.printer.buzzer();
  await t.printer.feed(2);
  await t.printer.cutter(Cut.Full);
  await t.printer.drawer(Drawer.First, 100, 200);
  return t;
}

// A receipt that changes code page on its way and sizes by character size,
// with a font of more columns on printers that have one.
async function invoice(model, pages) {
  const t = await Ticket.open(model);
  await t.printer.setCodepage(pages[0]);
  await t.styled({ width: 3, height: 2, bold: true }, 'NOTA Nº 000.123');
  await t.styled({ align: Align.Center, italic: true }, 'Mercearia Irmãos Conceição');
  await t.item('Maçã gala kg', '9,98');
  await t.printer.setCodepage(pages[1]);
  await t.item('Limão taiti kg', '3,49');
  await t.item('Água mineral 1,5 l', '2,75');
  await t.styled({ width: 2, underline: true }, 'Total: R$ 16,22');
  await t.barcode(73, '{BNF000123', 'NF000123');
  await t.line('Volte sempre, até logo!', Style.Condensed | Style.Underline);
  await t.printer.feed(1);
  await t.printer.cutter(Cut.Partial);
  return t;
}

// Every model's three receipts, as name -> { set, expected, bytes() }.
export async function dialectReceipts() {
  const receipts = {};
  for (const [model, family, pages, set = setOf[family]] of models) {
    const name = 'family-' + model.toLowerCase().replace(/[^a-z0-9]+/g, '-');
    const tickets = [await sale(model, pages[0]), await order(model, pages[1]),
      await invoice(model, [pages[2], pages[0]])];
    tickets.forEach((t, i) => {
      receipts[`${name}-${i + 1}`] = { set, codepage: 'tables', expected: t.expected,
        bytes: () => t.bytes() };
    });
  }
  return receipts;
}
