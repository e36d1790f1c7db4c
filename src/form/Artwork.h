#pragma once

#include <QPixmap>

// The window's pictures, drawn at start-up.
namespace artwork {

// The window's background, 1355 x 684.
QPixmap fondoVentana();
// The wait panel's backdrop, 1415 x 684: the same scene, wider.
QPixmap fondoEspera();
// The picture of the button that updates every price, 20 x 18 on white.
QPixmap actualizarTodos();
// Picture 1 of the image list, 20 x 18: pushes a product's price.
QPixmap enviarPrecio();
// Picture 2 of the image list, 20 x 18: links a listing to the current product.
QPixmap vincular();

// The program's icon, `size` pixels square: the mark of the window's background picture.
QPixmap icono(int size);

}  // namespace artwork
