// The browse dialog's tree: one node per object or variable found, each branch filled by a
// browse of one level when it is first opened.
#include "vantrel/browse_model.h"

#include <fstream>
#include <stdexcept>
#include <system_error>
#include <utility>

#include "common/unicode_space.h"

namespace vantrel::desktop {

namespace {

QString q(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

struct BrowseTreeModel::Node {
    enum class Load { NotLoaded, Loading, Stopped, Loaded };

    korrin::OpcBrowsedNode info;
    std::string path;  // from the Objects folder
    Node* parent = nullptr;
    std::vector<std::unique_ptr<Node>> children;
    Load load = Load::NotLoaded;
    bool checked = false;

    int row() const {
        if (!parent) {
            return 0;
        }
        for (std::size_t i = 0; i < parent->children.size(); ++i) {
            if (parent->children[i].get() == this) {
                return static_cast<int>(i);
            }
        }
        return 0;
    }
};

BrowseTreeModel::BrowseTreeModel(QObject* parent)
    : QAbstractItemModel(parent), root_(std::make_unique<Node>()) {
    root_->info.namespace_index = 0;
    root_->info.identifier = "i=85";  // the Objects folder
}

BrowseTreeModel::~BrowseTreeModel() = default;

BrowseTreeModel::Node* BrowseTreeModel::node_of(const QModelIndex& index) const {
    return index.isValid() ? static_cast<Node*>(index.internalPointer()) : root_.get();
}

QModelIndex BrowseTreeModel::index_of(const Node* node) const {
    if (!node || node == root_.get()) {
        return {};
    }
    return createIndex(node->row(), 0, const_cast<Node*>(node));
}

QModelIndex BrowseTreeModel::index(int row, int column, const QModelIndex& parent) const {
    const Node* p = node_of(parent);
    if (row < 0 || column < 0 || column >= ColumnCount ||
        static_cast<std::size_t>(row) >= p->children.size()) {
        return {};
    }
    return createIndex(row, column, p->children[static_cast<std::size_t>(row)].get());
}

QModelIndex BrowseTreeModel::parent(const QModelIndex& child) const {
    if (!child.isValid()) {
        return {};
    }
    return index_of(node_of(child)->parent);
}

int BrowseTreeModel::rowCount(const QModelIndex& parent) const {
    if (parent.column() > 0) {
        return 0;
    }
    return static_cast<int>(node_of(parent)->children.size());
}

int BrowseTreeModel::columnCount(const QModelIndex&) const {
    return ColumnCount;
}

QVariant BrowseTreeModel::data(const QModelIndex& index, int role) const {
    if (!index.isValid()) {
        return {};
    }
    const Node* n = node_of(index);
    if (role == PathRole) {
        return q(n->path);
    }
    if (role == Qt::CheckStateRole && index.column() == NameColumn && n->info.is_variable) {
        return n->checked ? Qt::Checked : Qt::Unchecked;
    }
    if (role == Qt::ToolTipRole) {
        return q(n->info.is_variable ? n->info.description : n->path);
    }
    if (role != Qt::DisplayRole) {
        return {};
    }
    switch (index.column()) {
        case NameColumn:
            return q(n->info.display_name.empty() ? n->path.substr(n->path.rfind('/') + 1)
                                                  : n->info.display_name);
        case TagColumn:
            return q(n->info.full_tag_name);
        case DataTypeColumn:
            return q(n->info.data_type);
        default:
            return {};
    }
}

bool BrowseTreeModel::setData(const QModelIndex& index, const QVariant& value, int role) {
    if (!index.isValid() || role != Qt::CheckStateRole || index.column() != NameColumn) {
        return false;
    }
    Node* n = node_of(index);
    if (!n->info.is_variable) {
        return false;
    }
    n->checked = value.toInt() == Qt::Checked;
    emit dataChanged(index, index, {Qt::CheckStateRole});
    return true;
}

Qt::ItemFlags BrowseTreeModel::flags(const QModelIndex& index) const {
    if (!index.isValid()) {
        return Qt::NoItemFlags;
    }
    Qt::ItemFlags f = Qt::ItemIsEnabled | Qt::ItemIsSelectable;
    if (node_of(index)->info.is_variable) {
        f |= Qt::ItemNeverHasChildren;
        if (index.column() == NameColumn) {
            f |= Qt::ItemIsUserCheckable;
        }
    }
    return f;
}

QVariant BrowseTreeModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) {
        return {};
    }
    switch (section) {
        case NameColumn:
            return QStringLiteral("Name");
        case TagColumn:
            return QStringLiteral("Tag");
        case DataTypeColumn:
            return QStringLiteral("Data Type");
        default:
            return {};
    }
}

bool BrowseTreeModel::hasChildren(const QModelIndex& parent) const {
    const Node* n = node_of(parent);
    if (n->info.is_variable || parent.column() > 0) {
        return false;
    }
    return n->load != Node::Load::Loaded || !n->children.empty();
}

bool BrowseTreeModel::canFetchMore(const QModelIndex& parent) const {
    const Node* n = node_of(parent);
    return !n->info.is_variable && n->load == Node::Load::NotLoaded && parent.column() <= 0;
}

void BrowseTreeModel::fetchMore(const QModelIndex& parent) {
    if (!canFetchMore(parent)) {
        return;
    }
    node_of(parent)->load = Node::Load::Loading;
    emit branch_requested(parent.sibling(parent.row(), NameColumn));
}

BrowseStart BrowseTreeModel::start_of(const QModelIndex& branch) const {
    const Node* n = node_of(branch);
    return {n->info.namespace_index, n->info.identifier};
}

bool BrowseTreeModel::is_variable(const QModelIndex& index) const {
    return index.isValid() && node_of(index)->info.is_variable;
}

bool BrowseTreeModel::is_loaded(const QModelIndex& branch) const {
    return node_of(branch)->load == Node::Load::Loaded;
}

void BrowseTreeModel::set_children(const QModelIndex& branch,
                                   const korrin::OpcBrowseResult& result) {
    Node* n = node_of(branch);
    if (n->info.is_variable || n->load == Node::Load::Loaded) {
        return;
    }
    if (!result.complete) {
        branch_failed(branch);
        return;
    }
    std::vector<std::unique_ptr<Node>> found;
    for (const auto& info : result.nodes) {
        if (info.is_variable && !info.listed_by_default) {
            continue;
        }
        auto child = std::make_unique<Node>();
        child->info = info;
        child->path = n->path.empty() ? info.browse_path : n->path + "/" + info.browse_path;
        child->parent = n;
        if (info.is_variable) {
            child->load = Node::Load::Loaded;
            ++variables_;
        }
        found.push_back(std::move(child));
    }
    // The branch's expander changes with what was found, also when nothing was.
    n->load = Node::Load::Loaded;
    if (!found.empty()) {
        const QModelIndex at = branch.sibling(branch.row(), NameColumn);
        beginInsertRows(at, 0, static_cast<int>(found.size()) - 1);
        n->children = std::move(found);
        endInsertRows();
    }
    if (branch.isValid()) {
        emit dataChanged(branch, branch);
    }
}

void BrowseTreeModel::branch_failed(const QModelIndex& branch) {
    Node* n = node_of(branch);
    if (n->load == Node::Load::Loading) {
        n->load = Node::Load::Stopped;
    }
}

void BrowseTreeModel::browse_again(const QModelIndex& branch) {
    Node* n = node_of(branch);
    if (n->load == Node::Load::Stopped) {
        n->load = Node::Load::NotLoaded;
        fetchMore(branch);
    }
}

std::vector<korrin::OpcBrowsedNode> BrowseTreeModel::checked_variables() const {
    std::vector<korrin::OpcBrowsedNode> out;
    std::vector<const Node*> stack{root_.get()};
    while (!stack.empty()) {
        const Node* n = stack.back();
        stack.pop_back();
        if (n->info.is_variable && n->checked) {
            out.push_back(n->info);
            out.back().browse_path = n->path;
        }
        for (auto it = n->children.rbegin(); it != n->children.rend(); ++it) {
            stack.push_back(it->get());
        }
    }
    return out;
}

BrowseFilterModel::BrowseFilterModel(QObject* parent) : QSortFilterProxyModel(parent) {
    setRecursiveFilteringEnabled(true);
}

void BrowseFilterModel::set_filter_text(const QString& text) {
    text_ = text.trimmed();
    invalidateFilter();
}

bool BrowseFilterModel::filterAcceptsRow(int source_row, const QModelIndex& source_parent) const {
    if (text_.isEmpty()) {
        return true;
    }
    const auto* tree = qobject_cast<const BrowseTreeModel*>(sourceModel());
    const QModelIndex at = sourceModel()->index(source_row, 0, source_parent);
    if (tree && !tree->is_variable(at) && !tree->is_loaded(at)) {
        return true;
    }
    const auto holds = [&](int column, int role) {
        return sourceModel()
            ->index(source_row, column, source_parent)
            .data(role)
            .toString()
            .contains(text_, Qt::CaseInsensitive);
    };
    return holds(BrowseTreeModel::NameColumn, Qt::DisplayRole) ||
           holds(BrowseTreeModel::TagColumn, Qt::DisplayRole) ||
           holds(BrowseTreeModel::NameColumn, BrowseTreeModel::PathRole);
}

korrin::TagList tag_rows(const std::vector<korrin::OpcBrowsedNode>& variables) {
    korrin::TagList rows;
    rows.reserve(variables.size());
    for (const auto& v : variables) {
        if (!v.is_variable || v.full_tag_name.empty()) {
            continue;
        }
        // Trimmed as the tag list loader trims what it reads.
        rows.emplace_back(std::string(common::trim_unicode_space(v.full_tag_name)),
                          std::string(common::trim_unicode_space(v.description)));
    }
    return rows;
}

void save_tag_list_csv(const std::filesystem::path& path,
                       const std::vector<korrin::OpcBrowsedNode>& variables) {
    const std::string csv = korrin::browsed_tag_list_csv(variables);
    auto temporary = path;
    temporary += ".partial";
    {
        std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
        out << csv;
        out.close();
        if (!out) {
            std::error_code ignored;
            std::filesystem::remove(temporary, ignored);
            throw std::runtime_error("cannot write " + path.string());
        }
    }
    std::error_code ec;
    std::filesystem::rename(temporary, path, ec);
    if (ec) {
        std::filesystem::remove(temporary, ec);
        throw std::runtime_error("cannot write " + path.string());
    }
}

}  // namespace vantrel::desktop
