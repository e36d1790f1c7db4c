#pragma once

struct Form;
class DatabaseEngine;

// A click on the listing grid: on the link icon (column 1) ties the current product to the current listing.
void Grid2_Click(Form& f, DatabaseEngine& engine);

// A double-click on the listing grid: on the id (column 0) ties the current product to the current listing.
void Grid2_DblClick(Form& f, DatabaseEngine& engine);

// A double-click on the product grid: hides the price editor and, on a "Serial" cell, offers to unlink the product.
void Grid1_DblClick(Form& f, DatabaseEngine& engine);
