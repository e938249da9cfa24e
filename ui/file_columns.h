#pragma once

class QTreeView;

namespace qvex {

// The columns of a file list (Name, Size, Type, Date Modified), once its model is set: Name
// takes the room the others leave; the others start as wide as their usual texts and their
// titles, and can be dragged wider.
void SizeFileColumns(QTreeView& view);

}  // namespace qvex
