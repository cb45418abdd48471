"""Tables of real-looking text in many languages, written in the encodings
their users' spreadsheet programs and databases save CSV in. Built in code,
so no binary sample is committed; the tests and bench/encodings.py share it.

``sample_files(seed)`` yields ``Sample``s: the file's bytes, the text they
hold (what a perfect decode gives back), the encoding and its family.
"""

from __future__ import annotations

import random
from collections.abc import Iterator
from dataclasses import dataclass

# Per language: given names, family names, places and words for free text.
WORDS: dict[str, tuple[list[str], list[str], list[str], list[str]]] = {
    "fr": (
        ["René", "François", "Hélène", "Zoé", "Noël", "Jérôme", "Cécile", "Anaïs", "Loïc", "Gaëlle"],
        ["Lefèvre", "Bérard", "Dupré", "Ménard", "Côté", "Gérard", "Léger", "Thérien", "Pâquet"],
        ["Genève", "Besançon", "Orléans", "Nîmes", "Béziers", "Saint-Étienne", "Montréal", "Québec"],
        ["été", "hiver", "déjà", "très", "reçu", "crème", "brûlée", "où", "façade", "naïf", "cœur",
         "œuvre", "fenêtre", "prévu", "livré", "à", "payé", "réglé", "commandé", "numéro"],
    ),
    "es": (
        ["José", "María", "Íñigo", "Begoña", "Ramón", "Inés", "Sebastián", "Lucía", "Óscar"],
        ["Núñez", "Muñoz", "Peña", "Ibáñez", "Gómez", "Fernández", "Martín", "Sáenz", "Cañete"],
        ["Málaga", "Córdoba", "León", "Cádiz", "Logroño", "Ávila", "Jaén", "Almería", "Mérida"],
        ["año", "niño", "señal", "pequeño", "mañana", "camión", "pagó", "envío", "devolución",
         "¿qué?", "¡sí!", "débito", "crédito", "número", "dirección", "teléfono", "ayer", "hoy"],
    ),
    "de": (
        ["Jürgen", "Björn", "Günther", "Käthe", "Uwe", "Jörg", "Dörte", "Sören", "Lüder"],
        ["Müller", "Schröder", "Weiß", "Größer", "Bäcker", "Krüger", "Hölzl", "Fuß", "Köhler"],
        ["München", "Köln", "Düsseldorf", "Nürnberg", "Lübeck", "Gößweinstein", "Zürich", "Wien"],
        ["Straße", "Grüße", "Lieferung", "Rückgabe", "bezahlt", "offen", "größer", "schön", "über",
         "Bestätigung", "Ärger", "Öffnung", "Übergabe", "Maß", "für", "Kunde", "heute", "gestern"],
    ),
    "cs": (
        ["Jiří", "Petr", "Lucie", "Tomáš", "Zdeněk", "Růžena", "Václav", "Božena", "Kateřina"],
        ["Dvořák", "Novák", "Svoboda", "Černý", "Procházka", "Kučera", "Veselý", "Horák", "Němec"],
        ["Praha", "Brno", "Ostrava", "Plzeň", "Liberec", "Olomouc", "České Budějovice", "Hradec Králové"],
        ["žluťoučký", "kůň", "úpěl", "ďábelské", "ódy", "příliš", "objednávka", "zaplaceno", "dodáno",
         "čtvrtek", "středa", "škoda", "řeka", "účet", "věc", "město", "dítě", "pět"],
    ),
    "pl": (
        ["Łukasz", "Małgorzata", "Paweł", "Żaneta", "Grzegorz", "Jędrzej", "Bożena", "Wojciech"],
        ["Wójcik", "Kowalczyk", "Woźniak", "Dąbrowski", "Zieliński", "Szymański", "Łęcki", "Gołąb"],
        ["Łódź", "Kraków", "Wrocław", "Poznań", "Gdańsk", "Białystok", "Toruń", "Częstochowa"],
        ["zażółć", "gęślą", "jaźń", "źródło", "dziękuję", "proszę", "zamówienie", "płatność",
         "wysyłka", "środa", "piątek", "miesiąc", "ulica", "świeży", "mąka", "ryż", "żółw"],
    ),
    "hu": (
        ["Árpád", "Erzsébet", "Győző", "Ödön", "Ünige", "Zsófia", "Lőrinc", "Tünde"],
        ["Kovács", "Szabó", "Tóth", "Németh", "Farkas", "Balogh", "Pásztor", "Győri", "Bíró"],
        ["Győr", "Pécs", "Debrecen", "Székesfehérvár", "Miskolc", "Nyíregyháza", "Kecskemét"],
        ["árvíztűrő", "tükörfúrógép", "köszönöm", "fizetve", "szállítás", "hétfő", "csütörtök",
         "rendelés", "számla", "utca", "kő", "fű", "víz", "ősz"],
    ),
    "ru": (
        ["Иван", "Ольга", "Сергей", "Татьяна", "Дмитрий", "Наталья", "Алексей", "Юлия", "Пётр"],
        ["Иванов", "Смирнова", "Кузнецов", "Попова", "Соколов", "Лебедева", "Козлов", "Новикова"],
        ["Москва", "Санкт-Петербург", "Новосибирск", "Екатеринбург", "Казань", "Нижний Новгород"],
        ["заказ", "оплачен", "доставлен", "возврат", "счёт", "клиент", "улица", "дом", "квартира",
         "понедельник", "пятница", "съешь", "ещё", "этих", "мягких", "французских", "булок", "чаю"],
    ),
    "uk": (
        ["Олександр", "Ганна", "Іван", "Ївга", "Богдан", "Оксана", "Юрій", "Марія", "Євген"],
        ["Шевченко", "Коваленко", "Бондаренко", "Ткаченко", "Кравченко", "Олійник", "Мельник"],
        ["Київ", "Львів", "Харків", "Одеса", "Дніпро", "Запоріжжя", "Івано-Франківськ", "Ужгород"],
        ["замовлення", "оплачено", "доставлено", "повернення", "рахунок", "вулиця", "їжак", "ґанок",
         "єдиний", "дякую", "будь", "ласка", "четвер", "п'ятниця", "місто", "ціна"],
    ),
    "el": (
        ["Γιώργος", "Μαρία", "Νίκος", "Ελένη", "Κώστας", "Δήμητρα", "Παναγιώτης", "Σοφία"],
        ["Παπαδόπουλος", "Γεωργίου", "Οικονόμου", "Νικολάου", "Δημητρίου", "Ιωάννου", "Μακρής"],
        ["Αθήνα", "Θεσσαλονίκη", "Πάτρα", "Ηράκλειο", "Λάρισα", "Βόλος", "Ιωάννινα", "Χανιά"],
        ["παραγγελία", "πληρώθηκε", "παραδόθηκε", "επιστροφή", "λογαριασμός", "πελάτης", "οδός",
         "Δευτέρα", "Παρασκευή", "ευχαριστώ", "γρήγορα", "σήμερα", "αύριο", "ψυχή"],
    ),
    "tr": (
        ["Ayşe", "Mehmet", "Gülşen", "Çağrı", "Ömer", "Şükrü", "İbrahim", "Özlem", "Ilgın"],
        ["Yılmaz", "Kaya", "Demir", "Şahin", "Çelik", "Yıldız", "Öztürk", "Aydın", "Doğan"],
        ["İstanbul", "Ankara", "İzmir", "Eskişehir", "Muğla", "Şanlıurfa", "Çanakkale", "Diyarbakır"],
        ["sipariş", "ödendi", "teslim", "iade", "müşteri", "sokak", "pazartesi", "cuma", "teşekkür",
         "ederim", "ığdır", "güneş", "çiçek", "şeker", "öğretmen", "ülke"],
    ),
    "he": (
        ["דוד", "שרה", "משה", "רחל", "יוסף", "לאה", "אברהם", "מרים"],
        ["כהן", "לוי", "מזרחי", "פרץ", "ביטון", "אברהמי", "פרידמן", "שפירא"],
        ["ירושלים", "תל אביב", "חיפה", "באר שבע", "אילת", "נתניה", "חולון"],
        ["הזמנה", "שולם", "נמסר", "החזרה", "חשבון", "לקוח", "רחוב", "יום", "ראשון", "תודה"],
    ),
    "ar": (
        ["محمد", "فاطمة", "أحمد", "عائشة", "علي", "مريم", "يوسف", "خديجة"],
        ["العلي", "حسن", "إبراهيم", "الأحمد", "منصور", "سعيد", "الخطيب"],
        ["القاهرة", "بيروت", "دمشق", "عمان", "الرياض", "تونس", "الدار البيضاء"],
        ["طلب", "مدفوع", "تم", "التسليم", "إرجاع", "حساب", "عميل", "شارع", "شكرا", "اليوم"],
    ),
    "lt": (
        ["Jonas", "Rūta", "Žydrūnas", "Aušra", "Vytautas", "Gintarė", "Šarūnas", "Eglė"],
        ["Kazlauskas", "Petrauskienė", "Jankauskas", "Žukauskas", "Butkutė", "Šimkus", "Balčiūnas"],
        ["Vilnius", "Kaunas", "Klaipėda", "Šiauliai", "Panevėžys", "Alytus", "Marijampolė"],
        ["užsakymas", "apmokėta", "pristatyta", "grąžinimas", "sąskaita", "gatvė", "ačiū", "šiandien",
         "pirmadienis", "penktadienis", "ąžuolas", "ėjo", "įėjimas"],
    ),
    "ja": (
        ["太郎", "花子", "健一", "美咲", "翔太", "陽菜", "大輔", "さくら", "ゆうき"],
        ["佐藤", "鈴木", "高橋", "田中", "伊藤", "渡辺", "山本", "中村", "小林"],
        ["東京都", "大阪市", "名古屋市", "札幌市", "福岡市", "京都市", "横浜市", "神戸市"],
        ["注文", "支払い済み", "配送済み", "返品", "請求書", "お客様", "ありがとうございます",
         "月曜日", "金曜日", "本日", "明日", "確認", "発送", "住所", "電話番号", "カタカナ"],
    ),
    "zh": (
        ["伟", "芳", "娜", "秀英", "敏", "静", "丽", "强", "磊", "军"],
        ["王", "李", "张", "刘", "陈", "杨", "黄", "赵", "吴", "周"],
        ["北京市", "上海市", "广州市", "深圳市", "成都市", "杭州市", "武汉市", "西安市"],
        ["订单", "已付款", "已发货", "退货", "发票", "客户", "地址", "电话", "星期一", "星期五",
         "谢谢", "今天", "明天", "确认", "数量", "价格", "备注", "朝阳区"],
    ),
    "zh_tw": (
        ["志明", "淑芬", "家豪", "怡君", "俊傑", "雅婷", "冠宇", "宜蓁"],
        ["陳", "林", "黃", "張", "李", "王", "吳", "劉", "蔡"],
        ["臺北市", "新北市", "桃園市", "臺中市", "臺南市", "高雄市", "基隆市", "新竹市"],
        ["訂單", "已付款", "已出貨", "退貨", "發票", "客戶", "地址", "電話", "星期一", "謝謝",
         "今天", "明天", "確認", "數量", "價格", "備註"],
    ),
    "ko": (
        ["민준", "서연", "도윤", "지우", "하준", "서윤", "예준", "하은"],
        ["김", "이", "박", "최", "정", "강", "조", "윤", "장"],
        ["서울특별시", "부산광역시", "인천광역시", "대구광역시", "대전광역시", "광주광역시"],
        ["주문", "결제완료", "배송완료", "반품", "영수증", "고객", "주소", "전화번호", "월요일",
         "금요일", "감사합니다", "오늘", "내일", "확인", "수량", "가격"],
    ),
}

# Encodings per family, with the languages their users write in them.
FAMILIES: dict[str, list[tuple[str, list[str]]]] = {
    "western": [("cp1252", ["fr", "es", "de"]), ("latin-1", ["fr", "es", "de"]),
                ("iso-8859-15", ["fr", "de"]), ("mac_roman", ["fr", "de"])],
    "central": [("cp1250", ["cs", "pl", "hu"]), ("iso-8859-2", ["cs", "pl", "hu"])],
    "cyrillic": [("cp1251", ["ru", "uk"]), ("koi8-r", ["ru"]), ("iso-8859-5", ["ru"]), ("cp866", ["ru"])],
    "greek": [("cp1253", ["el"]), ("iso-8859-7", ["el"])],
    "turkish": [("cp1254", ["tr"]), ("iso-8859-9", ["tr"])],
    "hebrew-arabic-baltic": [("cp1255", ["he"]), ("cp1256", ["ar"]), ("cp1257", ["lt"])],
    "japanese": [("shift_jis", ["ja"]), ("cp932", ["ja"]), ("euc-jp", ["ja"])],
    "chinese": [("gbk", ["zh"]), ("gb18030", ["zh"]), ("big5", ["zh_tw"])],
    "korean": [("euc-kr", ["ko"]), ("cp949", ["ko"])],
    "unicode": [("utf-8", ["fr", "ru", "ja"]), ("utf-8-sig", ["de", "el"]), ("utf-16", ["fr", "zh"]),
                ("utf-16-le", ["de", "ja"]), ("utf-16-be", ["ru", "ko"]), ("utf-32", ["es"]),
                ("utf-32-le", ["ru"]), ("utf-32-be", ["zh"])],
}


@dataclass(frozen=True, slots=True)
class Sample:
    """One file of the set: ``data`` holds ``text`` in ``encoding``."""

    name: str
    family: str
    encoding: str
    language: str
    text: str
    data: bytes


def table_text(language: str, rows: int, rng: random.Random, delimiter: str = ";",
               late_only: bool = False) -> str:
    """A CSV table of ``rows`` rows of text in ``language``. With
    ``late_only``, every row but the last few is ASCII."""
    given, family, places, words = WORDS[language]
    lines = [delimiter.join(["id", "name", "city", "date", "amount", "note"])]
    for i in range(rows):
        ascii_row = late_only and i < rows - 3
        name = f"name {i}" if ascii_row else f"{rng.choice(given)} {rng.choice(family)}"
        city = "city" if ascii_row else rng.choice(places)
        note = "ok" if ascii_row else " ".join(rng.choice(words) for _ in range(rng.randint(1, 5)))
        if delimiter in note or '"' in note:
            note = '"' + note.replace('"', '""') + '"'
        amount = f"{rng.randint(0, 99999) / 100:.2f}".replace(".", "," if delimiter == ";" else ".")
        date = f"2026-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}"
        lines.append(delimiter.join([str(i + 1), name, city, date, amount, note]))
    return "\r\n".join(lines) + "\r\n" if rng.random() < 0.5 else "\n".join(lines) + "\n"


def _encodable(text: str, encoding: str) -> str:
    """``text`` without the characters ``encoding`` cannot hold (a cp1252
    table holds no 'œ' in latin-1, for instance)."""
    return text.encode(encoding, "ignore").decode(encoding)


def sample_files(seed: int = 1, per_encoding: int = 4, rows: tuple[int, int] = (20, 400)) -> Iterator[Sample]:
    """The whole set: ``per_encoding`` files per encoding and language
    pairing, plus files glued from two exports and stray marks."""
    rng = random.Random(seed)
    for family, encodings in FAMILIES.items():
        for encoding, languages in encodings:
            for k in range(per_encoding):
                language = languages[k % len(languages)]
                delimiter = rng.choice([";", ",", "\t"])
                text = _encodable(table_text(language, rng.randint(*rows), rng, delimiter), encoding)
                if encoding == "utf-8-sig":
                    data = text.encode("utf-8-sig")
                else:
                    data = text.encode(encoding)
                yield Sample(f"{family}-{encoding}-{language}-{k}", family, encoding, language, text, data)
    # UTF-8 whose only non-ASCII text comes at the very end of a large file.
    for k in range(2):
        text = table_text("fr", 3000, rng, ",", late_only=True)
        yield Sample(f"unicode-late-utf-8-{k}", "unicode", "utf-8", "fr", text, text.encode("utf-8"))
    # Two exports glued together: UTF-8 rows, then rows of a cp1252 system.
    for k in range(per_encoding):
        head = table_text(rng.choice(["fr", "de", "es"]), rng.randint(20, 200), rng, ";")
        tail = table_text(rng.choice(["fr", "de", "es"]), rng.randint(5, 60), rng, ";")
        tail = _encodable(tail.split("\n", 1)[1], "cp1252")
        first, second = (head, tail) if k % 2 == 0 else (tail, head)
        data = first.encode("cp1252" if first is tail else "utf-8") + second.encode(
            "cp1252" if second is tail else "utf-8")
        yield Sample(f"mixed-utf-8+cp1252-{k}", "mixed", "utf-8+cp1252", "fr", first + second, data)
    # A cp1252 export behind a stray UTF-8 byte-order mark.
    for k in range(per_encoding):
        text = _encodable(table_text(rng.choice(["fr", "de", "es"]), rng.randint(20, 200), rng, ";"), "cp1252")
        yield Sample(f"stray-bom-cp1252-{k}", "stray bom", "cp1252", "fr", text,
                     b"\xef\xbb\xbf" + text.encode("cp1252"))
