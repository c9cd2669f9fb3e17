// The LibreOffice Calc side of the export, loaded at run time: documents through UNO.
#include <QDir>
#include <QUrl>
#include <com/sun/star/awt/XWindow2.hpp>
#include <com/sun/star/beans/PropertyValue.hpp>
#include <com/sun/star/beans/XPropertySet.hpp>
#include <com/sun/star/container/XEnumeration.hpp>
#include <com/sun/star/container/XEnumerationAccess.hpp>
#include <com/sun/star/container/XIndexAccess.hpp>
#include <com/sun/star/container/XNameAccess.hpp>
#include <com/sun/star/container/XNamed.hpp>
#include <com/sun/star/frame/XController.hpp>
#include <com/sun/star/frame/XModel.hpp>
#include <com/sun/star/frame/XStorable.hpp>
#include <com/sun/star/frame/XTitle.hpp>
#include <com/sun/star/lang/DisposedException.hpp>
#include <com/sun/star/sheet/CellFlags.hpp>
#include <com/sun/star/sheet/XCellRangeAddressable.hpp>
#include <com/sun/star/sheet/XCellRangeData.hpp>
#include <com/sun/star/sheet/XCellRangesQuery.hpp>
#include <com/sun/star/sheet/XSheetCellCursor.hpp>
#include <com/sun/star/sheet/XSheetCellRanges.hpp>
#include <com/sun/star/sheet/XSpreadsheet.hpp>
#include <com/sun/star/sheet/XSpreadsheetDocument.hpp>
#include <com/sun/star/sheet/XSpreadsheets.hpp>
#include <com/sun/star/sheet/XUsedAreaCursor.hpp>
#include <com/sun/star/style/XStyleFamiliesSupplier.hpp>
#include <com/sun/star/util/XCloseable.hpp>

#include "export/calc/CalcOffice.h"
#include "export/calc/plugin/OfficeConnection.h"
#include "export/calc/plugin/OfficePipe.h"
#include "export/calc/plugin/UnoSupport.h"

namespace calc::uno {
namespace {

namespace css = com::sun::star;
using css::uno::Any;
using css::uno::Reference;
using css::uno::Sequence;
using css::uno::UNO_QUERY_THROW;

Reference<css::frame::XFrame> FrameOf(const Reference<css::frame::XModel>& model) {
    return model->getCurrentController()->getFrame();
}

Any ToAny(const CellValue& cell) {
    if (cell.kind == CellValue::Kind::Number) return Any(cell.number);
    // A string is stored literally as text; an empty one leaves the cell empty. (A void Any
    // would put a #N/A error cell.)
    return Any(ToOU(cell.text));
}

CellValue FromAny(const Any& value) {
    double number = 0;
    if (value >>= number) return CellValue::Number(number);
    rtl::OUString text;
    value >>= text;
    return CellValue::Text(ToQ(text));
}

// Gives every cell of a new document the faces the window draws with: Liberation Sans for Latin
// text and DejaVu Sans for the rest, Chinese coming from the system's fallback. Calc's own
// choice for Chinese text here is WenQuanYi Micro Hei, whose ℃ is a blank glyph.
void UseTheWindowsFonts(const Reference<css::lang::XComponent>& component) {
    Reference<css::container::XNameAccess> cellStyles(
        Reference<css::style::XStyleFamiliesSupplier>(component, UNO_QUERY_THROW)
            ->getStyleFamilies()
            ->getByName("CellStyles"),
        UNO_QUERY_THROW);
    Reference<css::beans::XPropertySet> style(cellStyles->getByName("Default"), UNO_QUERY_THROW);
    style->setPropertyValue("CharFontName", Any(rtl::OUString("Liberation Sans")));
    style->setPropertyValue("CharFontNameAsian", Any(rtl::OUString("DejaVu Sans")));
    style->setPropertyValue("CharFontNameComplex", Any(rtl::OUString("DejaVu Sans")));
}

class UnoDocument : public Document {
public:
    explicit UnoDocument(const Reference<css::lang::XComponent>& component)
        : model_(component, UNO_QUERY_THROW), document_(component, UNO_QUERY_THROW) {}

    void SetTitle(const QString& title) override {
        Translated("Setting the window title", [&] {
            Reference<css::frame::XTitle>(FrameOf(model_), UNO_QUERY_THROW)->setTitle(ToOU(title));
        });
    }

    int SheetCount() override {
        return Translated("Counting sheets", [&] { return Sheets()->getCount(); });
    }

    void SetSheetCount(int count) override {
        Translated("Changing the number of sheets", [&] {
            Reference<css::sheet::XSpreadsheets> sheets = document_->getSheets();
            for (int present = Sheets()->getCount(); present < count; ++present) {
                sheets->insertNewByName(FreeSheetName(sheets, present + 1), sal_Int16(present));
            }
            for (int present = Sheets()->getCount(); present > count && present > 1; --present) {
                sheets->removeByName(Named(present - 1)->getName());
            }
        });
    }

    QString SheetName(int sheet) override {
        return Translated("Reading a sheet name", [&] { return ToQ(Named(sheet)->getName()); });
    }

    void RenameSheet(int sheet, const QString& name) override {
        const bool taken = Translated("Renaming a sheet", [&] {
            Reference<css::container::XNamed> named = Named(sheet);
            named->setName(ToOU(name));
            return named->getName() != ToOU(name);
        });
        // Calc ignores an invalid or duplicate name without telling; the caller must know.
        if (taken) {
            throw std::runtime_error(QStringLiteral("LibreOffice refused the sheet name \"%1\"")
                                         .arg(name)
                                         .toStdString());
        }
    }

    void WriteBlock(int sheet, const CellBlock& block) override {
        Translated("Writing cells", [&] {
            Sequence<Sequence<Any>> rows(block.rows);
            auto* row = rows.getArray();
            for (int r = 0; r < block.rows; ++r) {
                Sequence<Any> cells(block.cols);
                auto* cell = cells.getArray();
                for (int c = 0; c < block.cols; ++c) {
                    cell[c] = ToAny(block.values[size_t(r) * block.cols + c]);
                }
                row[r] = cells;
            }
            Range(sheet, block.top, block.left, block.rows, block.cols)->setDataArray(rows);
        });
    }

    CellBlock ReadBlock(int sheet, int top, int left, int rows, int cols) override {
        return Translated("Reading cells", [&] {
            CellBlock block{top, left, rows, cols, {}};
            block.values.reserve(size_t(rows) * cols);
            for (const auto& row : Range(sheet, top, left, rows, cols)->getDataArray()) {
                for (const Any& cell : row) block.values.push_back(FromAny(cell));
            }
            return block;
        });
    }

    void SetVisible(bool visible) override {
        Translated("Showing the document",
                   [&] { FrameOf(model_)->getContainerWindow()->setVisible(visible); });
    }

    void Close() override {
        Translated("Closing the document",
                   [&] { Reference<css::util::XCloseable>(model_, UNO_QUERY_THROW)->close(true); });
    }

private:
    Reference<css::container::XIndexAccess> Sheets() {
        return {document_->getSheets(), UNO_QUERY_THROW};
    }

    Reference<css::container::XNamed> Named(int sheet) {
        return {Sheets()->getByIndex(sheet), UNO_QUERY_THROW};
    }

    Reference<css::sheet::XCellRangeData> Range(int sheet, int top, int left, int rows, int cols) {
        Reference<css::sheet::XSpreadsheet> target(Sheets()->getByIndex(sheet), UNO_QUERY_THROW);
        return {target->getCellRangeByPosition(left, top, left + cols - 1, top + rows - 1),
                UNO_QUERY_THROW};
    }

    static rtl::OUString FreeSheetName(const Reference<css::sheet::XSpreadsheets>& sheets,
                                       int number) {
        rtl::OUString name;
        do {
            name = "Sheet" + rtl::OUString::number(number++);
        } while (sheets->hasByName(name));
        return name;
    }

    Reference<css::frame::XModel> model_;
    Reference<css::sheet::XSpreadsheetDocument> document_;
};

class UnoOffice : public Office {
public:
    explicit UnoOffice(const Reference<css::frame::XDesktop2>& desktop) : desktop_(desktop) {}

    std::unique_ptr<Document> NewHiddenDocument() override {
        return Translated("Creating a workbook", [&] {
            css::beans::PropertyValue hidden;
            hidden.Name = "Hidden";
            hidden.Value <<= true;
            Reference<css::lang::XComponent> component =
                desktop_->loadComponentFromURL("private:factory/scalc", "_blank", 0,
                                               Sequence<css::beans::PropertyValue>(&hidden, 1));
            auto document = std::make_unique<UnoDocument>(component);
            UseTheWindowsFonts(component);
            return document;
        });
    }

private:
    Reference<css::frame::XDesktop2> desktop_;
};

SheetContent ReadSheet(UnoDocument& document, const Reference<css::sheet::XSpreadsheet>& sheet,
                       int index) {
    SheetContent content;
    content.name = document.SheetName(index);
    Reference<css::sheet::XSheetCellCursor> cursor = sheet->createCursor();
    Reference<css::sheet::XUsedAreaCursor>(cursor, UNO_QUERY_THROW)->gotoEndOfUsedArea(false);
    const auto end =
        Reference<css::sheet::XCellRangeAddressable>(cursor, UNO_QUERY_THROW)->getRangeAddress();
    content.used = document.ReadBlock(index, 0, 0, end.EndRow + 1, end.EndColumn + 1);
    const auto formulas = Reference<css::sheet::XCellRangesQuery>(sheet, UNO_QUERY_THROW)
                              ->queryContentCells(css::sheet::CellFlags::FORMULA);
    content.hasFormulas = formulas->getRangeAddresses().hasElements();
    return content;
}

class UnoProbe : public OfficeProbe {
public:
    explicit UnoProbe(const Reference<css::frame::XDesktop2>& desktop) : desktop_(desktop) {}

    std::vector<DocumentContent> SpreadsheetDocuments() override {
        return Translated("Reading documents", [&] {
            std::vector<DocumentContent> result;
            for (const auto& component : Spreadsheets()) {
                Reference<css::frame::XModel> model(component, UNO_QUERY_THROW);
                Reference<css::frame::XFrame> frame = FrameOf(model);
                DocumentContent content;
                content.title =
                    ToQ(Reference<css::frame::XTitle>(frame, UNO_QUERY_THROW)->getTitle());
                content.visible =
                    Reference<css::awt::XWindow2>(frame->getContainerWindow(), UNO_QUERY_THROW)
                        ->isVisible();
                UnoDocument document(component);
                Reference<css::container::XIndexAccess> sheets(
                    Reference<css::sheet::XSpreadsheetDocument>(component, UNO_QUERY_THROW)
                        ->getSheets(),
                    UNO_QUERY_THROW);
                for (int i = 0; i < sheets->getCount(); ++i) {
                    Reference<css::sheet::XSpreadsheet> sheet(sheets->getByIndex(i),
                                                              UNO_QUERY_THROW);
                    content.sheets.push_back(ReadSheet(document, sheet, i));
                }
                result.push_back(std::move(content));
            }
            return result;
        });
    }

    int CloseSpreadsheetDocuments() override {
        return Translated("Closing documents", [&] {
            int closed = 0;
            for (const auto& component : Spreadsheets()) {
                Reference<css::util::XCloseable>(component, UNO_QUERY_THROW)->close(true);
                ++closed;
            }
            return closed;
        });
    }

    std::vector<QString> StoreSpreadsheetDocuments(const QString& directory) override {
        return Translated("Storing documents", [&] {
            std::vector<QString> paths;
            for (const auto& component : Spreadsheets()) {
                const QString path =
                    QDir(directory).filePath(QStringLiteral("%1.ods").arg(paths.size() + 1));
                css::beans::PropertyValue filter;
                filter.Name = "FilterName";
                filter.Value <<= rtl::OUString("calc8");
                Reference<css::frame::XStorable>(component, UNO_QUERY_THROW)
                    ->storeToURL(ToOU(QUrl::fromLocalFile(path).toString(QUrl::FullyEncoded)),
                                 Sequence<css::beans::PropertyValue>(&filter, 1));
                paths.push_back(path);
            }
            return paths;
        });
    }

    void TerminateOffice() override {
        try {
            desktop_->terminate();
        } catch (const css::lang::DisposedException&) {
            // The bridge goes down with the office.
        } catch (const css::uno::Exception&) {
        }
        // The next connection finds the bridge disposed and starts a new office, as after an
        // operator closed it; it must not hand over to the one still shutting down.
        if (!OfficeConnection::Instance().WaitForLaunchedExit(std::chrono::seconds(20))) {
            throw std::runtime_error("LibreOffice did not end after terminate()");
        }
    }

private:
    std::vector<Reference<css::lang::XComponent>> Spreadsheets() {
        std::vector<Reference<css::lang::XComponent>> result;
        Reference<css::container::XEnumeration> all =
            desktop_->getComponents()->createEnumeration();
        while (all->hasMoreElements()) {
            Reference<css::sheet::XSpreadsheetDocument> document(all->nextElement(),
                                                                 css::uno::UNO_QUERY);
            if (document.is()) result.emplace_back(document, UNO_QUERY_THROW);
        }
        return result;
    }

    Reference<css::frame::XDesktop2> desktop_;
};

template <typename Result>
Result* Connected(QString* error) {
    try {
        return new Result(OfficeConnection::Instance().Desktop());
    } catch (const std::exception& failure) {
        if (error) *error = QString::fromUtf8(failure.what());
    } catch (const css::uno::Exception& failure) {
        if (error) *error = ToQ(failure.Message);
    }
    return nullptr;
}

}  // namespace
}  // namespace calc::uno

extern "C" Q_DECL_EXPORT calc::Office* batmon_calc_connect(QString* error) {
    return calc::uno::Connected<calc::uno::UnoOffice>(error);
}

extern "C" Q_DECL_EXPORT calc::OfficeProbe* batmon_calc_probe(QString* error) {
    return calc::uno::Connected<calc::uno::UnoProbe>(error);
}

extern "C" Q_DECL_EXPORT void batmon_calc_pipe_path(QString* path) {
    *path = calc::uno::OfficePipePath(calc::uno::OfficePipeName());
}

static_assert(std::is_same_v<decltype(&batmon_calc_connect), calc::ConnectFunction>);
static_assert(std::is_same_v<decltype(&batmon_calc_pipe_path), calc::PipePathFunction>);
static_assert(std::is_same_v<decltype(&batmon_calc_probe), calc::ProbeFunction>);
